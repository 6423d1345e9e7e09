// Frame n is the n-th picture a full sequential decode presents (FFmpeg's decode with every frame
// passed through), on every container and whatever its timestamps: every frame of each file, in
// order and in random order, against that decode. The files are grouped by the fault they catch.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>

#include "Clips.h"
#include "Handles.h"
#include "Media.h"

namespace {

namespace fs = std::filesystem;
using handles::Frame;

constexpr int32_t kI420 = 0x2000;

using clips::Clip;

// The file, made once and damaged as the clip says.
fs::path MakeClip(const Clip& clip) {
  if (clip.shell) return media::MakeByShell(clip.name, clip.arguments);
  if (clip.damage.packet < 0) return media::Make(clip.name, clip.arguments);
  const fs::path damaged = media::Dir() / clip.name;
  if (fs::exists(damaged)) return damaged;
  const fs::path clean = media::Make(std::string("clean-") + clip.name, clip.arguments);
  std::istringstream packets(
      media::Capture("ffprobe -v error -select_streams v:0 -show_entries packet=pos,size -of "
                     "csv=p=0 " +
                     media::Quote(clean.string())));
  std::string line;
  for (int n = 0; n <= clip.damage.packet; ++n) std::getline(packets, line);
  const int64_t pos = std::stoll(line.substr(0, line.find(',')));
  const int64_t size = std::stoll(line.substr(line.find(',') + 1));
  std::string bytes;
  {
    std::ifstream in(clean, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::mt19937 random(7);
  const int64_t start = pos + size / 2 - clip.damage.bytes / 2;
  for (int64_t i = 0; i < clip.damage.bytes; ++i) bytes[start + i] = static_cast<char>(random());
  const fs::path partial = media::Dir() / (std::string("partial-") + clip.name);
  std::ofstream(partial, std::ios::binary) << bytes;
  fs::rename(partial, damaged);
  return damaged;
}

// Damaged pictures: bytes of one P picture in a long GOP, a slice of an IDR picture, and bytes of
// one picture of a raw stream (ordered by one decode).
const Clip kDamaged[] = {
    {"damaged_long_gop.mp4",
     ZR8_TEST_SOURCE "-t 8 -c:v libx264 -preset ultrafast -bf 2 -g 250 -pix_fmt yuv420p",
     {40, 24}},
    {"damaged_idr_slice.mp4",
     ZR8_TEST_SOURCE
     "-t 4 -c:v libx264 -preset ultrafast -bf 2 -g 25 -x264-params slices=4 -pix_fmt yuv420p",
     {25, 16}},
    {"damaged.h264", ZR8_TEST_SOURCE "-t 4 -c:v libx264 -bf 2 -g 50 -pix_fmt yuv420p", {30, 64}},
};

// Files written by other toolchains: GStreamer's encoder and muxers, and mkvmerge (which makes
// the times of a raw stream's pictures itself).
#define ZR8_TEST_GST                                               \
  "gst-launch-1.0 -q videotestsrc num-buffers=100 pattern=ball ! " \
  "video/x-raw,width=96,height=64,framerate=25/1 ! x264enc key-int-max=12 bframes=2 ! "
const Clip kOtherToolchains[] = {
    {"gstreamer.mp4", ZR8_TEST_GST "mp4mux ! filesink location=\"$OUT\"", {}, true},
    {"gstreamer.mkv", ZR8_TEST_GST "matroskamux ! filesink location=\"$OUT\"", {}, true},
    {"gstreamer.avi", ZR8_TEST_GST "avimux ! filesink location=\"$OUT\"", {}, true},
    {"mkvmerge.mkv",
     "ffmpeg -nostdin -y " ZR8_TEST_SOURCE "-t 4 -c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p "
     "-f h264 mkvmerge-source.h264 && mkvmerge -q -o \"$OUT\" mkvmerge-source.h264",
     {},
     true},
};

class FrameIdentity : public testing::TestWithParam<Clip> {
 protected:
  void SetUp() override {
    path_ = MakeClip(GetParam());
    file_ = handles::OpenFile(path_);
    ASSERT_TRUE(file_);
    video_ = handles::OpenVideo(file_.get(), kI420);
    ASSERT_TRUE(video_);
    reference_ = media::ReferenceVideo(path_, "yuv420p");
    count_ = ZR8READER_ReadVideoStream_GetFrameCount(video_.get());
    ASSERT_GT(count_, 0);
    Zr8VideoFormat format{};
    ASSERT_EQ(ZR8READER_ReadVideoStream_GetFormat(video_.get(), &format), 0);
    frameSize_ = size_t(format.width) * format.height +
                 2 * size_t((format.width + 1) / 2) * ((format.height + 1) / 2);
    ASSERT_EQ(reference_.size(), count_ * frameSize_) << "frames counted: " << count_;
  }

  testing::AssertionResult Matches(int64_t n) const {
    if (Frame(video_.get(), n) == reference_.substr(n * frameSize_, frameSize_)) {
      return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "frame " << n << " of " << count_;
  }

  fs::path path_;
  handles::File file_;
  handles::Video video_;
  std::string reference_;  // yuv420p, as I420
  int64_t count_ = 0;
  size_t frameSize_ = 0;
};

TEST_P(FrameIdentity, EveryFrameInOrder) {
  for (int64_t n = 0; n < count_; ++n) ASSERT_TRUE(Matches(n));
}

TEST_P(FrameIdentity, EveryFrameInRandomOrder) {
  std::vector<int64_t> order(count_);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(12345));
  // Backwards, repeated and ahead-in-the-same-GOP requests as well.
  order.insert(order.end(), {count_ - 1, count_ - 1, 0, 1, 3, 2, count_ / 2, count_ / 2 + 1});
  for (int64_t n : order) ASSERT_TRUE(Matches(n));
}

TEST_P(FrameIdentity, RequestsOutsideTheStreamFail) {
  for (int64_t n : {int64_t{-1}, count_, count_ + 10, INT64_MAX, INT64_MIN}) {
    void* image = reinterpret_cast<void*>(1);
    EXPECT_LT(ZR8READER_ReadVideoStream_GetFrame(video_.get(), n, &image), 0) << n;
    EXPECT_EQ(image, nullptr);
  }
  // The stream still works afterwards.
  EXPECT_TRUE(Matches(count_ - 1));
}

std::string ClipName(const testing::TestParamInfo<Clip>& info) {
  std::string name = info.param.name;
  std::replace_if(
      name.begin(), name.end(), [](char c) { return !isalnum(c); }, '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(NoPresentationTimes, FrameIdentity,
                         testing::ValuesIn(clips::kNoPresentationTimes), ClipName);
INSTANTIATE_TEST_SUITE_P(OtherToolchains, FrameIdentity, testing::ValuesIn(kOtherToolchains),
                         ClipName);
INSTANTIATE_TEST_SUITE_P(Damaged, FrameIdentity, testing::ValuesIn(kDamaged), ClipName);
INSTANTIATE_TEST_SUITE_P(CleanTimes, FrameIdentity, testing::ValuesIn(clips::kClips), ClipName);

}  // namespace
