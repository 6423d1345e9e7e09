// The saved fuzz findings (tests/fuzz/crashes/) and a few seeds, intact and damaged, through the
// fuzz targets' exercise: each must run to the end with every handle released.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../library/Media.h"
#include "Exercise.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int Both(const std::vector<uint8_t>& input) {
  return zr8fuzz::Exercise(input.data(), input.size(), zr8fuzz::Mode::Video) +
         zr8fuzz::Exercise(input.data(), input.size(), zr8fuzz::Mode::Audio);
}

TEST(FuzzRegression, SavedInputs) {
  const fs::path dir = ZR8_FUZZ_CRASHES_DIR;
  if (!fs::is_directory(dir)) GTEST_SKIP() << "no saved inputs";
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    SCOPED_TRACE(entry.path().filename().string());
    Both(ReadBytes(entry.path()));
  }
}

TEST(FuzzRegression, SeedsIntactAndDamaged) {
  std::vector<fs::path> clips{
      media::Make(
          "fuzz_av.mp4",
          "-f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -f lavfi -i "
          "sine=sample_rate=8000:duration=0.5 -map 0 -map 1 -c:v libx264 -g 4 -bf 2 -c:a aac"),
      media::Make("fuzz_vp9_opus.webm",
                  "-f lavfi -i testsrc2=size=32x32:rate=10:duration=0.5 -f lavfi -i "
                  "sine=sample_rate=8000:duration=0.5 -map 0 -map 1 -c:v libvpx-vp9 -c:a libopus"),
      media::Make("fuzz_mpeg2_mp2.ts",
                  "-f lavfi -i testsrc2=size=48x32:rate=10:duration=0.5 -f lavfi -i "
                  "sine=sample_rate=16000:duration=0.5 -map 0 -map 1 -c:v mpeg2video -c:a mp2"),
      // Ordered by one decode: B-frames in AVI, a raw stream.
      media::Make(
          "fuzz_mpeg4_b.avi",
          "-f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -f lavfi -i "
          "sine=sample_rate=8000:duration=0.5 -map 0 -map 1 -c:v mpeg4 -bf 2 -g 5 -c:a mp2"),
      media::Make("fuzz_raw.h264",
                  "-f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -c:v libx264 -bf 2 -g 5"),
  };
  // An ADTS stream whose layout changes, stereo to mono and back (the resampler once crashed on
  // it).
  const fs::path stereo = media::Make(
      "fuzz_stereo.aac", "-f lavfi -i sine=sample_rate=8000:duration=0.3 -ac 2 -c:a aac");
  const fs::path mono =
      media::Make("fuzz_mono.aac", "-f lavfi -i sine=sample_rate=8000:duration=0.3 -ac 1 -c:a aac");
  const fs::path changes = media::Dir() / "fuzz_layout_changes.aac";
  if (!fs::exists(changes)) {
    std::ofstream out(changes, std::ios::binary);
    for (const fs::path& part : {stereo, mono, stereo}) {
      const std::vector<uint8_t> bytes = ReadBytes(part);
      out.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
    }
  }
  clips.push_back(changes);
  // Stream 0; pixel type I420, RGBA_16u or native; 1, 8 or 6 requests, edges and outside included.
  const std::vector<std::string> trailers{
      std::string(zr8fuzz::kTrailerSize, '\0'),
      std::string("\x00\x00\x08\x00\x07\xfc\x05\x30\x80\xff\xfe\xfd\x10\x55\x01\x00", 16),
      std::string("\x01\x00\x02\x06\x05\x7e\x7d\x10\x00\xfc\xfd\x20\x40\xaa\x01\x00", 16),
  };
  for (const fs::path& clip : clips) {
    SCOPED_TRACE(clip.filename().string());
    const std::vector<uint8_t> bytes = ReadBytes(clip);
    for (const std::string& trailer : trailers) {
      std::vector<uint8_t> input = bytes;
      input.insert(input.end(), trailer.begin(), trailer.begin() + zr8fuzz::kTrailerSize);
      // The intact clip opens and delivers: the exercise reaches the decoders (an audio-only clip
      // has no video calls).
      EXPECT_GT(Both(input), clip == changes ? 5 : 10);
      for (size_t cut : {input.size() / 2, input.size() / 5}) {
        std::vector<uint8_t> truncated(input.begin(), input.begin() + cut);
        truncated.insert(truncated.end(), trailer.begin(), trailer.begin() + zr8fuzz::kTrailerSize);
        Both(truncated);
      }
      std::vector<uint8_t> garbled = input;
      for (size_t i = 64; i + zr8fuzz::kTrailerSize < garbled.size(); i += 97) garbled[i] ^= 0x5a;
      Both(garbled);
    }
  }
}

}  // namespace
