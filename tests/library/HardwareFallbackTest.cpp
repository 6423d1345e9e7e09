// Hardware decoding falls back to software without a visible seam: a device that cannot be made,
// a coding the hardware refuses, or a failure in the middle of a stream all deliver exactly the
// frames of the software decode, and the stream's preferences tell what is in effect. Run with the
// stand-in NVIDIA driver libraries (tests/hardware) first on LD_LIBRARY_PATH.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

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
  FakeHardware(int failAt, int softwareFrom, bool attaches = true, int* downloads = nullptr)
      : attaches_(attaches), failAt_(failAt), softwareFrom_(softwareFrom), downloads_(downloads) {}
  bool Attach(AVCodecContext*) override { return attaches_; }
  int Download(AVFrame*) override {
    const int n = ++count_;
    if (downloads_ != nullptr) *downloads_ = n;
    if (n == failAt_) return AVERROR(EIO);
    return softwareFrom_ > 0 && n >= softwareFrom_ ? 0 : 1;
  }

 private:
  bool attaches_;
  int failAt_;
  int softwareFrom_;
  int* downloads_;
  int count_ = 0;
};

fs::path Clip() {
  return media::Make("hw_clip.mp4",
                     "-f lavfi -i testsrc2=size=96x64:rate=25 -t 2 -c:v libx264 -preset ultrafast "
                     "-g 10 -bf 2");
}

// The stream decoded in software, as the reference, in NV12 (what hardware surfaces come back as,
// converted all the same).
std::unique_ptr<zr8::VideoStream> OpenSoftware(const fs::path& path) {
  return handles::OpenStream(path, handles::StreamPrefs(0x2001));
}

// The stream opened on the hardware `make` makes (none: nullptr), which is asked for once.
std::unique_ptr<zr8::VideoStream> OpenOn(const fs::path& path,
                                         std::function<std::unique_ptr<FakeHardware>()> make) {
  int requests = 0;
  zr8::SetHardwareFactory([&](const zr8::HardwareRequest& request) {
    ++requests;
    EXPECT_EQ(request.kind, 4);
    return make();
  });
  zr8::HardwareRequest request;
  request.kind = 4;
  auto stream = handles::OpenStream(path, handles::StreamPrefs(0x2001, 0, 4), request);
  zr8::SetHardwareFactory({});
  EXPECT_EQ(requests, 1);
  return stream;
}

struct Case {
  const char* name;
  bool created;      // the device can be made
  bool attaches;     // the hardware takes the coding
  int failAt;        // the download that fails (0: none)
  int softwareFrom;  // the first download the decoder made in system memory (0: none)
  bool openedOnHardware;
  int32_t kindInEffect;
};

const Case kCases[] = {
    {"DeviceFails", false, true, 0, 0, false, 0},
    {"CodingRefused", true, false, 0, 0, false, 0},
    {"FailsOnFirstFrame", true, true, 1, 0, false, 0},
    {"FailsMidStream", true, true, 9, 0, true, 0},
    {"DecoderChoseSoftware", true, true, 0, 1, false, 0},
    {"DecoderChoseSoftwareMidStream", true, true, 0, 9, true, 0},
    {"Works", true, true, 0, 0, true, 4},
};

class HardwareFallbackTest : public testing::TestWithParam<Case> {};

// The software frames in order, then jumps back and ahead across key frames; a stream alone in the
// process that left the hardware decodes with the whole thread budget.
TEST_P(HardwareFallbackTest, DeliversTheSoftwareFrames) {
  const Case& c = GetParam();
  std::vector<std::string> pictures;
  for (auto software = OpenSoftware(Clip()); software && pictures.size() < 50;) {
    pictures.push_back(handles::Picture(*software, pictures.size()));
  }
  auto hardware = OpenOn(Clip(), [&] {
    return c.created ? std::make_unique<FakeHardware>(c.failAt, c.softwareFrom, c.attaches)
                     : nullptr;
  });
  ASSERT_TRUE(hardware && hardware->frameCount() == 50);
  EXPECT_EQ(hardware->onHardware(), c.openedOnHardware);
  EXPECT_EQ(hardware->prefs().hardwarePreference, c.openedOnHardware ? 4 : 0);
  for (int64_t n = 0; n < 50; ++n) {
    ASSERT_EQ(handles::Picture(*hardware, n), pictures[n]) << "frame " << n;
  }
  EXPECT_EQ(hardware->decoderThreads(), c.kindInEffect ? 1 : zr8::ThreadBudget::Instance().total());
  for (int64_t n : {37, 3, 21, 20, 49, 0}) {
    ASSERT_EQ(handles::Picture(*hardware, n), pictures[n]) << "frame " << n;
  }
  EXPECT_EQ(hardware->prefs().hardwarePreference, c.kindInEffect);
  EXPECT_EQ(hardware->onHardware(), c.kindInEffect != 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, HardwareFallbackTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

// Two places alternate on the hardware without a seek; a third takes one of their two cursors.
// Only the pictures asked for and those the cache keeps are downloaded.
TEST(HardwareStreamTest, TwoPositionsAndDownloadsOfKeptPicturesOnly) {
  auto software = OpenSoftware(Clip());
  auto hardware = OpenOn(Clip(), [] { return std::make_unique<FakeHardware>(0, 0); });
  ASSERT_TRUE(software && hardware && hardware->onHardware());
  uint64_t seeks = 0;
  for (int64_t n = 0; n < 10; ++n) {
    for (int64_t frame : {n, 30 + n}) {
      ASSERT_EQ(handles::Picture(*hardware, frame), handles::Picture(*software, frame)) << frame;
    }
    if (n == 0) seeks = hardware->seeks();
  }
  EXPECT_EQ(hardware->seeks(), seeks);
  EXPECT_EQ(hardware->cursors(), 2u);
  ASSERT_EQ(handles::Picture(*hardware, 25), handles::Picture(*software, 25));
  EXPECT_EQ(hardware->cursors(), 2u);
  EXPECT_TRUE(hardware->onHardware());

  // A long run fills the cache with its dearest pictures; the cheap ones passed on the way back to
  // the start stay on the device.
  const auto longRun = media::Make("hw_long_gop.mp4",
                                   "-f lavfi -i testsrc2=size=96x64:rate=25 -t 2.4 -c:v libx264 "
                                   "-preset ultrafast -g 60 -bf 0");
  auto reference = OpenSoftware(longRun);
  int downloads = 0;
  auto stream =
      OpenOn(longRun, [&] { return std::make_unique<FakeHardware>(0, 0, true, &downloads); });
  ASSERT_TRUE(reference && stream && stream->onHardware());
  ASSERT_EQ(handles::Picture(*stream, 59), handles::Picture(*reference, 59));
  const int before = downloads;
  const uint64_t decoded = stream->decodedFrames();
  ASSERT_EQ(handles::Picture(*stream, 5), handles::Picture(*reference, 5));
  EXPECT_EQ(stream->decodedFrames() - decoded, 6u);
  EXPECT_EQ(downloads - before, 1);
}

// FFmpeg's own hardware path against the stand-in NVIDIA driver: a device it accepts, a video
// decoder that has no coding to offer.
class StandInDriverTest : public testing::Test {
 protected:
  void SetUp() override {
    void* cuda = dlopen("libcuda.so.1", RTLD_NOW);
    void* cuvid = dlopen("libnvcuvid.so.1", RTLD_NOW);
    auto* cudaRecord =
        cuda ? reinterpret_cast<StandInCuda* (*)()>(dlsym(cuda, "StandInCudaRecord")) : nullptr;
    auto* cuvidRecord =
        cuvid ? reinterpret_cast<StandInNvcuvid* (*)()>(dlsym(cuvid, "StandInNvcuvidRecord"))
              : nullptr;
    ASSERT_TRUE(cudaRecord && cuvidRecord) << "the stand-in driver is not first on LD_LIBRARY_PATH";
    cuda_ = cudaRecord();
    cuvid_ = cuvidRecord();
    ASSERT_EQ(zr8hw::InitCuda(0, &id_, &context_, &handle_, &message_), zr8hw::kOk);
    request_.kind = zr8hw::kKindNvidia;
    request_.haveCuda = true;
    request_.cudaId = id_;
    request_.cudaContext = context_;
  }
  void TearDown() override {
    if (context_ != nullptr) {
      EXPECT_EQ(zr8hw::UninitCuda(&id_, &context_, &handle_), zr8hw::kOk);
    }
  }

  // Decodes `path` on the stand-in and in software: the same pictures in order and out of order,
  // the stream's preferences telling software from its open (the hardware refused its first key
  // frame), and the decoder asked on InitCUDA's context.
  void ExpectCleanFallback(const fs::path& path) {
    auto software = OpenSoftware(path);
    Zr8DecodePrefs prefs = handles::StreamPrefs(0x2001, 0, zr8hw::kKindNvidia);
    prefs.useCuda = 1;
    prefs.cudaId = id_;
    prefs.cudaHandle1 = context_;
    const int queries = cuvid_->capsQueries;
    auto hardware = handles::OpenStream(path, prefs, request_);
    ASSERT_TRUE(software && hardware);
    const int64_t count = software->frameCount();
    for (int64_t n : {int64_t{0}, count / 2, int64_t{1}, count - 1, count / 3}) {
      ASSERT_EQ(handles::Picture(*hardware, n), handles::Picture(*software, n)) << "frame " << n;
      EXPECT_EQ(hardware->prefs().hardwarePreference, 0) << "after frame " << n;
      EXPECT_EQ(hardware->prefs().cudaHandle1, nullptr);
      EXPECT_FALSE(hardware->onHardware());
    }
    EXPECT_GT(cuvid_->capsQueries, queries);
    EXPECT_EQ(cuda_->lastPushed, context_);
    EXPECT_EQ(cuda_->contextsCreated, 0);
  }

  StandInCuda* cuda_ = nullptr;
  StandInNvcuvid* cuvid_ = nullptr;
  int32_t id_ = 0;
  void* context_ = nullptr;
  void* handle_ = nullptr;
  std::string message_;
  zr8::HardwareRequest request_;
};

TEST_F(StandInDriverTest, InitCudaMakesThePrimaryContextOneFFmpegAccepts) {
  EXPECT_EQ(message_, "Stand-in GPU (CUDA device 0), CUDA driver 12.4, 8192 MiB");
  EXPECT_EQ(cuda_->flagsWhenMadeActive, zr8hw::kCudaBlockingSync);
  EXPECT_EQ(context_, cuda_->primaryContext);
  // On InitCUDA's own context, and on the primary context that FFmpeg asks for itself.
  EXPECT_NE(zr8::CreateHardwareDecoder(request_), nullptr);
  zr8::HardwareRequest primary;
  primary.kind = zr8hw::kKindNvidia;
  const int retains = cuda_->primaryRetains;
  auto decoder = zr8::CreateHardwareDecoder(primary);
  ASSERT_NE(decoder, nullptr);
  EXPECT_EQ(cuda_->primaryRetains, retains + 1);
  decoder.reset();
  EXPECT_EQ(cuda_->primaryRetains, retains);
  EXPECT_EQ(cuda_->contextsCreated, 0);
}

// H.264, and AV1 (which goes to FFmpeg's native decoder); known for H.264 before its first
// picture: the hardware does not decode this stream.
TEST_F(StandInDriverTest, FallsBackCleanly) {
  EXPECT_STREQ(zr8::HardwareDecoder::HardwareCodec(AV_CODEC_ID_AV1, AV_HWDEVICE_TYPE_CUDA)->name,
               "av1");
  EXPECT_STREQ(zr8::HardwareDecoder::HardwareCodec(AV_CODEC_ID_H264, AV_HWDEVICE_TYPE_CUDA)->name,
               "h264");
  ExpectCleanFallback(media::Make("hw_clip_av1.mkv",
                                  "-f lavfi -i testsrc2=size=96x64:rate=25 -t 1 -c:v libaom-av1 "
                                  "-cpu-used 8 -g 10 -pix_fmt yuv420p"));
  ExpectCleanFallback(Clip());
  auto decoder = zr8::CreateHardwareDecoder(request_);
  ASSERT_NE(decoder, nullptr);
  zr8::FormatPtr input = zr8::OpenMedia(Clip().string(), true);
  ASSERT_TRUE(input);
  zr8::PacketPtr packet = zr8::MakePacket();
  ASSERT_GE(av_read_frame(input.get(), packet.get()), 0);
  EXPECT_FALSE(zr8::ConfirmHardware(*decoder, *input->streams[0]->codecpar,
                                    input->streams[0]->time_base, *packet));
}

// The client on the real library: a decode on the stand-in NVIDIA hardware (set up through the
// entry points, then refused by the decoder) writes the frames of the software decode; the
// out-of-process checks run the helper beside the library and find what the in-process ones find.
TEST(RealHardware, FallBackAndOutOfProcessChecks) {
  harness::ClientRun run;
  run.WithLibrary(harness::Library::kReal);
  fs::copy_file(media::LongClip(), run.dir() / "clip.mp4");
  const auto result = run.Run({"clip.mp4", "-video", "-extract", "-hardware", "NVIDIA"});
  EXPECT_TRUE(result.File("zr8reader.I420") ==
              media::Pictures(media::ReferenceVideo(media::LongClip(), "yuv420p"),
                              video_output::FirstFrames(128), media::kSmallPicture));

  fs::copy_file(ZR8_TEST_DETECT_HELPER, run.dir() / "zr8reader-detect");
  auto decoders = [&](const std::vector<std::string>& arguments) {
    const auto checks = run.Run(arguments);
    EXPECT_EQ(checks.status, 0) << checks.out;
    const auto at = checks.out.find("Total Hardware Decoders detected = ");
    return at == std::string::npos ? std::string("none") : checks.out.substr(at, 38);
  };
  const std::string inProcess = decoders({"x", "-hwcheck"});
  EXPECT_NE(inProcess, "none");
  EXPECT_EQ(decoders({"x", "-hwcheckOOP", "-timeout", "10000"}), inProcess);
  EXPECT_EQ(decoders({"x", "-hwdetectionOOP", "-timeout", "10000"}), inProcess);
}

}  // namespace
