// Hardware decoding falls back to software without a visible seam: a device that cannot be made,
// a coding the hardware refuses, or a failure in the middle of a stream all deliver exactly the
// frames of the software decode, and the stream's preferences tell what is in effect. Run with the
// stand-in NVIDIA driver libraries (tests/hardware) first on LD_LIBRARY_PATH.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "Handles.h"
#include "HardwareDecode.h"
#include "StandIn.h"
#include "ThreadBudget.h"
#include "e2e/ClientHarness.h"
#include "e2e/VideoOutput.h"
#include "zr8hardware/Hardware.h"

namespace {

namespace fs = std::filesystem;

// Stands in for the hardware: frames stay in system memory; the download numbered `failAt` fails,
// and from the one numbered `softwareFrom` on, frames are reported as made in system memory by the
// decoder (0: never). The stream's open confirms the hardware with download 1.
class FakeHardware final : public zr8::HardwareDecoder {
 public:
  FakeHardware(int failAt, int softwareFrom, bool attaches)
      : attaches_(attaches), failAt_(failAt), softwareFrom_(softwareFrom) {}
  bool Attach(AVCodecContext*) override { return attaches_; }
  int Download(AVFrame*) override {
    const int n = ++count_;
    if (n == failAt_) return AVERROR(EIO);
    return softwareFrom_ > 0 && n >= softwareFrom_ ? 0 : 1;
  }

 private:
  bool attaches_;
  int failAt_;
  int softwareFrom_;
  int count_ = 0;
};

fs::path Clip() {
  return media::Named("hw_clip.mp4");
}

// The stream decoded in software, as the reference, in NV12 (what hardware surfaces come back as,
// converted all the same).
std::unique_ptr<zr8::VideoStream> OpenSoftware(const fs::path& path) {
  return handles::OpenStream(path, handles::StreamPrefs(0x2001));
}

class HardwareFallbackTest : public testing::TestWithParam<std::vector<std::string>> {};

// The software frames in order, then jumps back and ahead across key frames; a stream alone in the
// process that left the hardware decodes with the whole thread budget.
TEST_P(HardwareFallbackTest, DeliversTheSoftwareFrames) {
  std::vector<int> c;  // the columns of hardware_cases.txt after the name
  for (size_t i = 1; i < 7; ++i) c.push_back(std::stoi(GetParam()[i]));
  const int created = c[0], attaches = c[1], failAt = c[2], softwareFrom = c[3];
  const bool openedOnHardware = c[4];
  const int32_t kindInEffect = c[5];
  std::vector<std::string> pictures;
  for (auto software = OpenSoftware(Clip()); software && pictures.size() < 50;) {
    pictures.push_back(handles::Picture(*software, pictures.size()));
  }
  int requests = 0;  // the hardware is asked for once
  zr8::SetHardwareFactory([&](const zr8::HardwareRequest& request) {
    ++requests;
    EXPECT_EQ(request.kind, 4);
    return created ? std::make_unique<FakeHardware>(failAt, softwareFrom, attaches) : nullptr;
  });
  zr8::HardwareRequest request;
  request.kind = 4;
  auto hardware = handles::OpenStream(Clip(), handles::StreamPrefs(0x2001, 0, 4), request);
  zr8::SetHardwareFactory({});
  EXPECT_EQ(requests, 1);
  ASSERT_TRUE(hardware && hardware->frameCount() == 50);
  EXPECT_EQ(hardware->onHardware(), openedOnHardware);
  EXPECT_EQ(hardware->prefs().hardwarePreference, openedOnHardware ? 4 : 0);
  for (int64_t n = 0; n < 50; ++n) {
    ASSERT_EQ(handles::Picture(*hardware, n), pictures[n]) << "frame " << n;
  }
  EXPECT_EQ(hardware->decoderThreads(), kindInEffect ? 1 : zr8::ThreadBudget::Instance().total());
  for (int64_t n : {37, 3, 21, 20, 49, 0}) {
    ASSERT_EQ(handles::Picture(*hardware, n), pictures[n]) << "frame " << n;
  }
  EXPECT_EQ(hardware->prefs().hardwarePreference, kindInEffect);
  EXPECT_EQ(hardware->onHardware(), kindInEffect != 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, HardwareFallbackTest,
                         testing::ValuesIn(media::Rows("hardware_cases.txt", 7)),
                         [](const auto& info) { return info.param[0]; });

// FFmpeg's own hardware path against the stand-in NVIDIA driver (a device it accepts, a video
// decoder with no coding to offer), on H.264 and on AV1 (which goes to FFmpeg's native decoder):
// the software decode's pictures in and out of order, the stream's preferences telling software
// from its open, the decoder asked on InitCUDA's context; for H.264, known before its first
// picture.
TEST(StandInDriverTest, FallsBackCleanly) {
  void* cuda = dlopen("libcuda.so.1", RTLD_NOW);
  void* cuvid = dlopen("libnvcuvid.so.1", RTLD_NOW);
  auto* cudaRecord =
      cuda ? reinterpret_cast<StandInCuda* (*)()>(dlsym(cuda, "StandInCudaRecord")) : nullptr;
  auto* cuvidRecord =
      cuvid ? reinterpret_cast<StandInNvcuvid* (*)()>(dlsym(cuvid, "StandInNvcuvidRecord"))
            : nullptr;
  ASSERT_TRUE(cudaRecord && cuvidRecord) << "the stand-in driver is not first on LD_LIBRARY_PATH";
  int32_t id = 0;
  void* context = nullptr;
  void* handle = nullptr;
  std::string message;
  ASSERT_EQ(zr8hw::InitCuda(0, &id, &context, &handle, &message), zr8hw::kOk);
  zr8::HardwareRequest request;
  request.kind = zr8hw::kKindNvidia;
  request.haveCuda = true;
  request.cudaId = id;
  request.cudaContext = context;
  EXPECT_STREQ(zr8::HardwareDecoder::HardwareCodec(AV_CODEC_ID_AV1, AV_HWDEVICE_TYPE_CUDA)->name,
               "av1");
  for (const fs::path& path : {media::Named("hw_clip_av1.mkv"), Clip()}) {
    SCOPED_TRACE(path.filename().string());
    auto software = OpenSoftware(path);
    Zr8DecodePrefs prefs = handles::StreamPrefs(0x2001, 0, zr8hw::kKindNvidia);
    prefs.useCuda = 1;
    prefs.cudaId = id;
    prefs.cudaHandle1 = context;
    const int queries = cuvidRecord()->capsQueries;
    auto hardware = handles::OpenStream(path, prefs, request);
    ASSERT_TRUE(software && hardware);
    const int64_t count = software->frameCount();
    for (int64_t n : {int64_t{0}, count / 2, int64_t{1}, count - 1, count / 3}) {
      ASSERT_EQ(handles::Picture(*hardware, n), handles::Picture(*software, n)) << "frame " << n;
      EXPECT_EQ(hardware->prefs().hardwarePreference, 0) << "after frame " << n;
      EXPECT_EQ(hardware->prefs().cudaHandle1, nullptr);
      EXPECT_FALSE(hardware->onHardware());
    }
    EXPECT_GT(cuvidRecord()->capsQueries, queries);
    EXPECT_EQ(cudaRecord()->lastPushed, context);
    EXPECT_EQ(cudaRecord()->contextsCreated, 0);
  }
  auto decoder = zr8::CreateHardwareDecoder(request);
  ASSERT_NE(decoder, nullptr);
  zr8::FormatPtr input = zr8::OpenMedia(Clip().string(), true);
  ASSERT_TRUE(input);
  zr8::PacketPtr packet = zr8::MakePacket();
  ASSERT_GE(av_read_frame(input.get(), packet.get()), 0);
  EXPECT_FALSE(zr8::ConfirmHardware(*decoder, *input->streams[0]->codecpar,
                                    input->streams[0]->time_base, *packet));
  decoder.reset();
  EXPECT_EQ(zr8hw::UninitCuda(&id, &context, &handle), zr8hw::kOk);
}

// The client on the real library: a decode on the stand-in NVIDIA hardware (set up through the
// entry points, then refused by the decoder) writes the frames of the software decode.
TEST(RealHardware, FallsBackToTheSoftwareFrames) {
  harness::ClientRun run;
  run.WithLibrary(harness::Library::kReal);
  fs::copy_file(media::Named("video_long.mp4"), run.dir() / "clip.mp4");
  const auto result = run.Run({"clip.mp4", "-video", "-extract", "-hardware", "NVIDIA"});
  EXPECT_TRUE(result.File("zr8reader.I420") ==
              media::Pictures(media::ReferenceVideo(media::Named("video_long.mp4"), "yuv420p"),
                              video_output::FirstFrames(128), media::kSmallPicture));
}

}  // namespace
