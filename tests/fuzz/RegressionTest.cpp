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
  const std::string video = "-f lavfi -i testsrc2=rate=10:size=";
  const std::string audio = " -f lavfi -i sine=duration=0.5:sample_rate=";
  const std::pair<const char*, std::string> made[] = {
      {"fuzz_av.mp4",
       video + "64x48:duration=1" + audio + "8000 -map 0 -map 1 -c:v libx264 -g 4 -bf 2 -c:a aac"},
      {"fuzz_vp9_opus.webm",
       video + "32x32:duration=0.5" + audio + "8000 -map 0 -map 1 -c:v libvpx-vp9 -c:a libopus"},
      {"fuzz_mpeg2_mp2.ts",
       video + "48x32:duration=0.5" + audio + "16000 -map 0 -map 1 -c:v mpeg2video -c:a mp2"},
      // Ordered by one decode: B-frames in AVI, a raw stream.
      {"fuzz_mpeg4_b.avi",
       video + "64x48:duration=1" + audio + "8000 -map 0 -map 1 -c:v mpeg4 -bf 2 -g 5 -c:a mp2"},
      {"fuzz_raw.h264", video + "64x48:duration=1 -c:v libx264 -bf 2 -g 5"},
  };
  std::vector<fs::path> clips;
  for (const auto& [name, arguments] : made) clips.push_back(media::Make(name, arguments));
  // An ADTS stream whose layout changes, stereo to mono and back (the resampler once crashed on
  // it).
  const std::string tone = "-f lavfi -i sine=sample_rate=8000:duration=0.3 -c:a aac -ac ";
  const fs::path stereo = media::Make("fuzz_stereo.aac", tone + "2");
  const fs::path mono = media::Make("fuzz_mono.aac", tone + "1");
  const fs::path changes = media::Dir() / "fuzz_layout_changes.aac";
  if (!fs::exists(changes)) {
    std::ofstream out(changes, std::ios::binary);
    for (const fs::path& part : {stereo, mono, stereo})
      out << std::ifstream(part, std::ios::binary).rdbuf();
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
