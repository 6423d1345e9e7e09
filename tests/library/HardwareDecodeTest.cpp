// Hardware decoding falls back to software without a visible seam: a device that cannot be made,
// a coding the hardware refuses, or a failure in the middle of a stream all deliver exactly the
// frames of the software decode, and the stream's preferences tell what is in effect.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "FakeMachine.h"
#include "HardwareDecode.h"
#include "Media.h"
#include "StandIn.h"
#include "ThreadBudget.h"
#include "VideoStream.h"
#include "zr8hardware/Hardware.h"

namespace {

// Stands in for the hardware: frames stay in system memory; the download numbered `failAt` fails,
// and from the one numbered `softwareFrom` on, frames are reported as made in system memory by the
// decoder (0: never). The stream's open confirms the hardware with download 1.
class FakeHardware final : public zr8::HardwareDecoder {
 public:
  FakeHardware(bool attaches, int failAt, int softwareFrom = 0, int* downloads = nullptr)
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

class HardwareFallback : public testing::TestWithParam<Case> {
 protected:
  void TearDown() override { zr8::SetHardwareFactory({}); }
};

std::string Picture(zr8::VideoStream& stream, int64_t index) {
  zr8::Image* image = nullptr;
  if (stream.GetFrame(index, &image) != 0) return "failed";
  std::unique_ptr<zr8::Image> owned(image);
  const auto* bytes = reinterpret_cast<const char*>(image->Lock());
  std::string copy(bytes, image->layout().totalSize);
  image->Unlock();
  return copy;
}

const char* const kClip =
    "-f lavfi -i testsrc2=size=96x64:rate=25 -t 2 -c:v libx264 -preset ultrafast -g 10 -bf 2";

// The stream decoded in software, as the reference, in NV12 (what hardware surfaces come back as,
// converted all the same).
std::unique_ptr<zr8::VideoStream> OpenSoftware(const std::filesystem::path& path) {
  Zr8DecodePrefs prefs{};
  prefs.pixelType = 0x2001;
  std::unique_ptr<zr8::VideoStream> stream;
  EXPECT_EQ(zr8::VideoStream::Open(path.string(), 0, &prefs,
                                   std::make_shared<zr8::CpuPictureStore>(), &stream),
            0);
  return stream;
}

TEST_P(HardwareFallback, DeliversTheSoftwareFrames) {
  const Case& c = GetParam();
  const auto path = media::Make("hw_clip.mp4", kClip);
  auto software = OpenSoftware(path);
  ASSERT_TRUE(software);

  int requests = 0;
  zr8::SetHardwareFactory([&](const zr8::HardwareRequest& request) {
    ++requests;
    EXPECT_EQ(request.kind, 4);
    return c.created ? std::make_unique<FakeHardware>(c.attaches, c.failAt, c.softwareFrom)
                     : nullptr;
  });
  zr8::HardwareRequest request;
  request.kind = 4;
  Zr8DecodePrefs prefs{};
  prefs.pixelType = 0x2001;
  prefs.hardwarePreference = 4;
  std::unique_ptr<zr8::VideoStream> hardware;
  ASSERT_EQ(zr8::VideoStream::Open(path.string(), 0, &prefs,
                                   std::make_shared<zr8::CpuPictureStore>(), &hardware, request),
            0);
  EXPECT_EQ(requests, 1);
  EXPECT_EQ(hardware->onHardware(), c.openedOnHardware);
  EXPECT_EQ(hardware->prefs().hardwarePreference, c.openedOnHardware ? 4 : 0);

  // In order, then jumps back and ahead across key frames.
  std::vector<int64_t> order;
  for (int64_t n = 0; n < software->frameCount(); ++n) order.push_back(n);
  for (int64_t n : {37, 3, 21, 20, 49, 0}) order.push_back(n);
  for (int64_t n : order) {
    ASSERT_EQ(Picture(*hardware, n), Picture(*software, n)) << "frame " << n;
  }
  EXPECT_EQ(hardware->prefs().hardwarePreference, c.kindInEffect);
  EXPECT_EQ(hardware->onHardware(), c.kindInEffect != 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, HardwareFallback, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

std::unique_ptr<zr8::VideoStream> OpenOn(const std::filesystem::path& path,
                                         std::function<std::unique_ptr<FakeHardware>()> make) {
  zr8::SetHardwareFactory([make](const zr8::HardwareRequest&) { return make(); });
  Zr8DecodePrefs prefs{};
  prefs.pixelType = 0x2001;
  prefs.hardwarePreference = 4;
  zr8::HardwareRequest request;
  request.kind = 4;
  std::unique_ptr<zr8::VideoStream> stream;
  EXPECT_EQ(zr8::VideoStream::Open(path.string(), 0, &prefs,
                                   std::make_shared<zr8::CpuPictureStore>(), &stream, request),
            0);
  zr8::SetHardwareFactory({});
  return stream;
}

// Alone in the process, a stream that leaves the hardware (at its open, when a download fails,
// when the decoder's format negotiation ends in system memory) decodes with the whole budget.
TEST(HardwareStream, SoftwareFallBackKeepsTheStreamsThreads) {
  const auto path = media::Make("hw_clip.mp4", kClip);
  const int budget = zr8::ThreadBudget::Instance().total();
  struct {
    int failAt, softwareFrom;
  } const fakes[] = {{0, 1}, {5, 0}, {0, 5}};
  for (const auto& fake : fakes) {
    auto stream = OpenOn(
        path, [&] { return std::make_unique<FakeHardware>(true, fake.failAt, fake.softwareFrom); });
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->decoderThreads(), stream->onHardware() ? 1 : budget);
    for (int64_t n = 0; n < 10; ++n) ASSERT_NE(Picture(*stream, n), "failed");
    EXPECT_FALSE(stream->onHardware());
    EXPECT_EQ(stream->decoderThreads(), budget) << fake.failAt << " " << fake.softwareFrom;
  }
}

// Two places alternate on the hardware without a seek; a third takes one of their two cursors.
// Only the pictures asked for and those the cache keeps are downloaded.
TEST(HardwareStream, TwoPositionsAndDownloadsOfKeptPicturesOnly) {
  const auto path = media::Make("hw_clip.mp4", kClip);
  auto software = OpenSoftware(path);
  auto hardware = OpenOn(path, [] { return std::make_unique<FakeHardware>(true, 0); });
  ASSERT_TRUE(software && hardware && hardware->onHardware());
  uint64_t seeks = 0;
  for (int64_t n = 0; n < 10; ++n) {
    for (int64_t frame : {n, 30 + n}) {
      ASSERT_EQ(Picture(*hardware, frame), Picture(*software, frame)) << "frame " << frame;
    }
    if (n == 0) seeks = hardware->seeks();
  }
  EXPECT_EQ(hardware->seeks(), seeks);
  EXPECT_EQ(hardware->cursors(), 2u);
  ASSERT_EQ(Picture(*hardware, 25), Picture(*software, 25));
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
      OpenOn(longRun, [&] { return std::make_unique<FakeHardware>(true, 0, 0, &downloads); });
  ASSERT_TRUE(reference && stream && stream->onHardware());
  ASSERT_EQ(Picture(*stream, 59), Picture(*reference, 59));
  const int before = downloads;
  const uint64_t decoded = stream->decodedFrames();
  ASSERT_EQ(Picture(*stream, 5), Picture(*reference, 5));
  EXPECT_EQ(stream->decodedFrames() - decoded, 6u);
  EXPECT_EQ(downloads - before, 1);
}

// FFmpeg's own hardware path against the stand-in NVIDIA driver (libcuda.so.1 and libnvcuvid.so.1
// of tests/hardware, first on LD_LIBRARY_PATH): a device it accepts, a video decoder that has no
// coding to offer.
class StandInDriver : public testing::Test {
 protected:
  void SetUp() override {
    void* cuda = dlopen("libcuda.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (cuda == nullptr) cuda = dlopen("libcuda.so.1", RTLD_NOW);
    auto* cudaRecord =
        cuda ? reinterpret_cast<StandInCuda* (*)()>(dlsym(cuda, "StandInCudaRecord")) : nullptr;
    void* cuvid = dlopen("libnvcuvid.so.1", RTLD_NOW);
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
  void ExpectCleanFallback(const std::filesystem::path& path) {
    auto software = OpenSoftware(path);
    ASSERT_TRUE(software);
    Zr8DecodePrefs prefs{};
    prefs.pixelType = 0x2001;
    prefs.hardwarePreference = zr8hw::kKindNvidia;
    prefs.useCuda = 1;
    prefs.cudaId = id_;
    prefs.cudaHandle1 = context_;
    std::unique_ptr<zr8::VideoStream> hardware;
    const int queries = cuvid_->capsQueries;
    ASSERT_EQ(zr8::VideoStream::Open(path.string(), 0, &prefs,
                                     std::make_shared<zr8::CpuPictureStore>(), &hardware, request_),
              0);
    EXPECT_EQ(hardware->prefs().hardwarePreference, 0);
    EXPECT_EQ(hardware->prefs().cudaHandle1, nullptr);
    const int64_t count = software->frameCount();
    for (int64_t n : {int64_t{0}, count / 2, int64_t{1}, count - 1, count / 3}) {
      ASSERT_EQ(Picture(*hardware, n), Picture(*software, n)) << "frame " << n;
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

TEST_F(StandInDriver, InitCudaMakesThePrimaryContextOneFFmpegAccepts) {
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

TEST_F(StandInDriver, H264FallsBackCleanly) {
  const auto path = media::Make(
      "hw_clip.mp4",
      "-f lavfi -i testsrc2=size=96x64:rate=25 -t 2 -c:v libx264 -preset ultrafast -g 10 -bf 2");
  ExpectCleanFallback(path);
  // Known before the first picture: the hardware does not decode this stream.
  auto decoder = zr8::CreateHardwareDecoder(request_);
  ASSERT_NE(decoder, nullptr);
  zr8::FormatPtr input = zr8::OpenMedia(path.string(), true);
  ASSERT_TRUE(input);
  zr8::PacketPtr packet = zr8::MakePacket();
  ASSERT_GE(av_read_frame(input.get(), packet.get()), 0);
  EXPECT_FALSE(zr8::ConfirmHardware(*decoder, *input->streams[0]->codecpar,
                                    input->streams[0]->time_base, *packet));
}

TEST_F(StandInDriver, Av1GoesToTheNativeDecoderAndFallsBackCleanly) {
  const AVCodec* codec =
      zr8::HardwareDecoder::HardwareCodec(AV_CODEC_ID_AV1, AV_HWDEVICE_TYPE_CUDA);
  ASSERT_NE(codec, nullptr);
  EXPECT_STREQ(codec->name, "av1");
  EXPECT_STREQ(zr8::HardwareDecoder::HardwareCodec(AV_CODEC_ID_H264, AV_HWDEVICE_TYPE_CUDA)->name,
               "h264");
  const auto path = media::Make("hw_clip_av1.mkv",
                                "-f lavfi -i testsrc2=size=96x64:rate=25 -t 1 -c:v libaom-av1 "
                                "-cpu-used 8 -g 10 -pix_fmt yuv420p");
  ExpectCleanFallback(path);
}

}  // namespace

namespace {

// VA-API as far as a machine without a render node goes: InitVaapi's node (a plain file standing in
// for /dev/dri/renderD128) is the one the decoder opens, libva finds no driver on it, and the
// stream decodes in software, saying so from its open.
TEST(Vaapi, ANodeWithoutADriverLeavesTheStreamInSoftware) {
  fake::FakeMachine machine;
  machine.AddRenderNode(128, zr8hw::kVendorIntel, 0x46a6, "i915");
  void* handle = nullptr;
  std::string message;
  ASSERT_EQ(zr8hw::InitVaapi(zr8hw::kVendorIntel, &handle, &message, machine.System()), zr8hw::kOk);
  zr8::HardwareRequest request;
  request.kind = zr8hw::kKindIntel;
  request.vaapiHandle = handle;
  EXPECT_EQ(zr8::CreateHardwareDecoder(request), nullptr);

  const auto path = media::Make(
      "hw_clip.mp4",
      "-f lavfi -i testsrc2=size=96x64:rate=25 -t 2 -c:v libx264 -preset ultrafast -g 10 -bf 2");
  Zr8DecodePrefs prefs{};
  prefs.pixelType = 0x2001;
  std::unique_ptr<zr8::VideoStream> software;
  std::unique_ptr<zr8::VideoStream> hardware;
  ASSERT_EQ(zr8::VideoStream::Open(path.string(), 0, &prefs,
                                   std::make_shared<zr8::CpuPictureStore>(), &software),
            0);
  prefs.hardwarePreference = zr8hw::kKindIntel;
  ASSERT_EQ(zr8::VideoStream::Open(path.string(), 0, &prefs,
                                   std::make_shared<zr8::CpuPictureStore>(), &hardware, request),
            0);
  EXPECT_EQ(hardware->prefs().hardwarePreference, 0);
  for (int64_t n : {0, 30, 7}) EXPECT_EQ(Picture(*hardware, n), Picture(*software, n));
  EXPECT_EQ(zr8hw::UninitVaapi(&handle), zr8hw::kOk);
}

}  // namespace
