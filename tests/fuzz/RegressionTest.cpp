// The saved fuzz findings (tests/fuzz/crashes/) and a few seeds (seeds.txt), intact and damaged,
// through the fuzz targets' exercise: each must run to the end with every handle released.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "../library/Media.h"
#include "Exercise.h"

namespace fs = std::filesystem;

namespace {

int Both(const std::string& input) {
  const auto* data = reinterpret_cast<const uint8_t*>(input.data());
  return zr8fuzz::Exercise(data, input.size(), zr8fuzz::Mode::Video) +
         zr8fuzz::Exercise(data, input.size(), zr8fuzz::Mode::Audio);
}

TEST(FuzzRegression, SavedInputs) {
  int inputs = 0;
  for (const auto& entry : fs::directory_iterator(ZR8_FUZZ_CRASHES_DIR)) {
    SCOPED_TRACE(entry.path().filename().string());
    Both(media::ReadBytes(entry.path()));
    ++inputs;
  }
  EXPECT_GT(inputs, 0);
}

TEST(FuzzRegression, SeedsIntactAndDamaged) {
  std::vector<fs::path> clips;
  std::ifstream seeds(fs::path(ZR8_FUZZ_CRASHES_DIR).parent_path() / "seeds.txt");
  for (std::string line; std::getline(seeds, line);) {
    const size_t tab = line.find('\t');
    if (line[0] != '#') clips.push_back(media::Make(line.substr(0, tab), line.substr(tab + 1)));
  }
  ASSERT_EQ(clips.size(), 5u);
  // An ADTS stream whose layout changes, stereo to mono and back (the resampler once crashed on
  // it).
  const fs::path changes = media::MakeByShell(
      "fuzz_layout_changes.aac",
      "for channels in 2 1 2; do ffmpeg -nostdin -loglevel error -f lavfi "
      "-i sine=sample_rate=8000:duration=0.3 -c:a aac -ac $channels -f adts -; done > \"$OUT\"");
  clips.push_back(changes);
  // Stream 0; pixel type I420, RGBA_16u or native; 1, 8 or 6 requests, edges and outside included.
  const std::string trailers[] = {
      std::string(zr8fuzz::kTrailerSize, '\0'),
      std::string("\x00\x00\x08\x00\x07\xfc\x05\x30\x80\xff\xfe\xfd\x10\x55\x01\x00", 16),
      std::string("\x01\x00\x02\x06\x05\x7e\x7d\x10\x00\xfc\xfd\x20\x40\xaa\x01\x00", 16),
  };
  for (const fs::path& clip : clips) {
    SCOPED_TRACE(clip.filename().string());
    const std::string bytes = media::ReadBytes(clip);
    for (const std::string& trailer : trailers) {
      // The intact clip opens and delivers: the exercise reaches the decoders (an audio-only clip
      // has no video calls).
      EXPECT_GT(Both(bytes + trailer), clip == changes ? 5 : 10);
      Both(bytes.substr(0, bytes.size() / 2) + trailer);
      Both(bytes.substr(0, bytes.size() / 5) + trailer);
      std::string garbled = bytes;
      for (size_t i = 64; i < garbled.size(); i += 97) garbled[i] ^= 0x5a;
      Both(garbled + trailer);
    }
  }
}

}  // namespace
