// Hardware decoding falls back to software without a visible seam: a device that cannot be made,
// a coding the hardware refuses, or a failure in the middle of a stream all deliver exactly the
// frames of the software decode, and the stream's preferences tell what is in effect.
#include <gtest/gtest.h>

#include <cstring>

#include "HardwareDecode.h"
#include "Media.h"
#include "VideoStream.h"

namespace {

// Stands in for the hardware: frames stay in system memory; the Nth download fails, and with N < 0
// every frame is reported as made in system memory by the decoder.
class FakeHardware final : public zr8::HardwareDecoder {
 public:
  FakeHardware(bool attaches, int failAt) : attaches_(attaches), failAt_(failAt) {}
  bool Attach(AVCodecContext*) override { return attaches_; }
  int Download(AVFrame*) override {
    if (failAt_ < 0) return 0;
    return ++downloads_ == failAt_ ? AVERROR(EIO) : 1;
  }

 private:
  bool attaches_;
  int failAt_;
  int downloads_ = 0;
};

struct Case {
  const char* name;
  bool created;   // the device can be made
  bool attaches;  // the hardware takes the coding
  int failAt;     // the download that fails (0: none; -1: the decoder chose system memory)
  int32_t kindInEffect;
};

const Case kCases[] = {
    {"DeviceFails", false, true, 0, 0},          {"CodingRefused", true, false, 0, 0},
    {"FailsOnFirstFrame", true, true, 1, 0},     {"FailsMidStream", true, true, 9, 0},
    {"DecoderChoseSoftware", true, true, -1, 0}, {"Works", true, true, 0, 4},
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

TEST_P(HardwareFallback, DeliversTheSoftwareFrames) {
  const Case& c = GetParam();
  const auto path = media::Make(
      "hw_clip.mp4",
      "-f lavfi -i testsrc2=size=96x64:rate=25 -t 2 -c:v libx264 -preset ultrafast -g 10 -bf 2");
  Zr8DecodePrefs prefs{};
  prefs.pixelType = 0x2001;  // NV12: what hardware surfaces come back as, converted all the same
  std::unique_ptr<zr8::VideoStream> software;
  ASSERT_EQ(zr8::VideoStream::Open(path.string(), 0, &prefs,
                                   std::make_shared<zr8::CpuPictureStore>(), &software),
            0);

  int requests = 0;
  zr8::SetHardwareFactory([&](const zr8::HardwareRequest& request) {
    ++requests;
    EXPECT_EQ(request.kind, 4);
    return c.created ? std::make_unique<FakeHardware>(c.attaches, c.failAt) : nullptr;
  });
  zr8::HardwareRequest request;
  request.kind = 4;
  prefs.hardwarePreference = 4;
  std::unique_ptr<zr8::VideoStream> hardware;
  ASSERT_EQ(zr8::VideoStream::Open(path.string(), 0, &prefs,
                                   std::make_shared<zr8::CpuPictureStore>(), &hardware, request),
            0);
  EXPECT_EQ(requests, 1);
  EXPECT_EQ(hardware->onHardware(), c.created && c.attaches);

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

}  // namespace
