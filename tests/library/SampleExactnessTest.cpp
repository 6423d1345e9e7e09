// Audio read through the library against FFmpeg's own full decode of the same file: the sample
// count, every sample in order, and reads at random starts, on the files of media.txt from several
// toolchains, which carry what makes a count predicted from packets go wrong (priming, edit lists,
// end trims, laced blocks, pre-skip, layout changes, damage). Also the compressed packets, and the
// client's extraction.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <set>

#include "AudioStream.h"
#include "Handles.h"
#include "e2e/ClientHarness.h"

namespace {

namespace fs = std::filesystem;

// Reads `frames` frames from `start` of the stream in one call; empty when the call fails.
std::vector<float> Read(void* audio, int channels, int64_t start, int64_t frames, int64_t* read) {
  std::vector<float> samples(static_cast<size_t>(std::max<int64_t>(frames, 1)) * channels);
  if (ZR8READER_ReadAudioStream_GetSamples(audio, start, samples.data(), frames, read) < 0)
    return {};
  samples.resize(static_cast<size_t>(*read) * channels);
  return samples;
}

// The largest difference of a sample of `got` from `reference` at `offset` frames on.
double LargestDifference(const std::vector<float>& got, const std::vector<float>& reference,
                         int64_t offset) {
  double largest = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    largest = std::max(largest, std::fabs(double{got[i]} - reference[offset + i]));
  }
  return largest;
}

// The count (also as the format and the length report it), every sample in order, and reads that
// catch a misplaced read (the first samples, where trims apply, the end, the middle, 16 random
// starts) equal FFmpeg's decode; the library's open and reads cost a few times the tool's decode at
// most (before: minutes for a damaged region the tool decodes in a second). A stream other than the
// first is opened after the first, so that it reads the file through readers of its own. With a
// `bound`, a read at a random start may differ by up to it, but no read is misplaced: it is nearer
// the full decode where it belongs than a frame earlier or later.
void ExpectFullDecode(const fs::path& path, int stream = 0, double bound = 0) {
  const auto clock = std::chrono::steady_clock::now;
  auto began = clock();
  const std::vector<float> reference = media::ReferenceAudio(path, stream);
  const std::chrono::duration<double> tool = clock() - began;
  began = clock();
  handles::File file = handles::OpenFile(path);
  handles::Audio first = file && stream > 0 ? handles::OpenAudio(file.get(), 0) : handles::Audio();
  handles::Audio audio = file ? handles::OpenAudio(file.get(), stream) : handles::Audio();
  ASSERT_TRUE(audio) << path << " stream " << stream;
  Zr8AudioCompressedFormat format{};
  ZR8READER_ReadAudioStream_GetCompressedFormat(audio.get(), &format);
  const int channels = format.channels;
  ASSERT_GT(channels, 0);
  std::vector<float> all;
  int64_t read = 0;
  // A read that contradicts a predicted count counts again (PredictedCountTest): the count is
  // asked after the read.
  for (int64_t start = 0; start < ZR8READER_ReadAudioStream_GetSampleCount(audio.get());
       start += read) {
    const std::vector<float> block = Read(audio.get(), channels, start, 4096, &read);
    if (read <= 0) break;
    all.insert(all.end(), block.begin(), block.end());
  }
  const std::chrono::duration<double> library = clock() - began;
  const int64_t count = ZR8READER_ReadAudioStream_GetSampleCount(audio.get());
  ZR8READER_ReadAudioStream_GetCompressedFormat(audio.get(), &format);
  ASSERT_EQ(count, static_cast<int64_t>(reference.size() / channels));
  EXPECT_EQ(format.sampleCount, count);
  EXPECT_NEAR(ZR8READER_ReadAudioStream_GetStreamLength(audio.get()),
              count * 10000000 / static_cast<int64_t>(format.sampleRate), 1);
  EXPECT_TRUE(all == reference);
  EXPECT_LT(library.count(), 10 * tool.count() + 2.0) << "tool " << tool.count() << " s";

  std::vector<std::pair<int64_t, int64_t>> requests = {
      {count - 1, 1}, {0, 100}, {count / 2, 3000}, {count / 2 - 1, 2}, {1, 5000}, {count - 10, 10}};
  std::mt19937 generator(7);
  for (int i = 0; i < 16; ++i) requests.emplace_back(generator() % count, 1 + generator() % 6000);
  for (const auto& [start, wanted] : requests) {
    const std::vector<float> got = Read(audio.get(), channels, start, wanted, &read);
    ASSERT_EQ(read, std::min(wanted, count - start)) << "read of " << wanted << " at " << start;
    if (bound == 0) {
      ASSERT_TRUE(std::equal(got.begin(), got.end(), reference.begin() + start * channels,
                             reference.begin() + (start + read) * channels))
          << "read of " << wanted << " at " << start;
      continue;
    }
    const double here = LargestDifference(got, reference, start * channels);
    EXPECT_LE(here, bound) << "read of " << wanted << " at " << start;
    for (const int64_t shift : {int64_t{-1}, int64_t{1}}) {
      if (read < 64 || start + shift < 0 || start + shift + read > count) continue;
      EXPECT_LT(here, LargestDifference(got, reference, (start + shift) * channels))
          << "read of " << wanted << " at " << start << " nearer " << shift;
    }
  }
}

// The difference README.md states for a read at a random start on each coding whose decoder
// synthesises noise from state that reaches back without bound.
double StatedBound(const fs::path& path) {
  const std::string coding = media::Capture(
      "ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 '" +
      path.string() + "'");
  for (const auto& [name, bound] : {std::pair{"ac3", 0.12}, {"eac3", 0.18}, {"mp2", 3.1e-5}}) {
    if (coding == std::string(name) + "\n") return bound;
  }
  return 1.0;  // AAC's substituted noise: up to its own level
}

class SampleExactnessTest : public testing::TestWithParam<media::Recipe> {};
TEST_P(SampleExactnessTest, EqualsAFullDecode) {
  ExpectFullDecode(media::Made(GetParam()));
}
INSTANTIATE_TEST_SUITE_P(Files, SampleExactnessTest, testing::ValuesIn(media::Recipes("samples")),
                         [](const auto& info) { return media::Printable(info.param.name); });

// The count at open, predicted from the packets without a decode of the stream where the coding
// fixes each packet's output, equals FFmpeg's decode; a read from the start to the end confirms it
// (the timeline is then no longer a prediction) without counting again. Where a decode contradicts
// the prediction (a damaged packet the demuxer does not flag decodes to nothing), the timeline is
// counted once more and every sample is still FFmpeg's.
class PredictedCountTest : public testing::TestWithParam<media::Recipe> {};
TEST_P(PredictedCountTest, EqualsAFullDecodeAndIsConfirmed) {
  // Counted by a decode: codings without a rule (ADPCM, WMA), durations Matroska rounds to
  // milliseconds (Vorbis, FLAC), a layout or rate that changes between the first and last packets,
  // last packets that do not yield what the rule says (damage).
  static const std::set<std::string> kCounted = {
      "vorbis.webm",     "adpcm_ima.wav",   "wmav2.wma",       "mkvmerge_flac.mkv",     "flac.mkv",
      "stereo_mono.aac", "mono_stereo.aac", "rate_change.aac", "flac_damaged_tail.flac"};
  static const std::set<std::string> kContradicted = {"aac_damaged.aac"};
  const std::string& name = GetParam().name;
  const fs::path path = media::Made(GetParam());
  const std::vector<float> reference = media::ReferenceAudio(path);
  struct NoCache {
    NoCache() { ::setenv("ZR8READER_NO_CACHE", "1", 1); }
    ~NoCache() { ::unsetenv("ZR8READER_NO_CACHE"); }
  } noCache;
  const int64_t counted = zr8::AudioStream::CountingDecodes();
  const int64_t rebuilt = zr8::AudioStream::TimelineRebuilds();
  auto stream = zr8::AudioStream::Open(path.string(), 0, zr8::MemoryPool::Create());
  ASSERT_TRUE(stream);
  const bool predicted = !kCounted.contains(name);
  EXPECT_EQ(stream->timelinePredicted(), predicted);
  EXPECT_EQ(zr8::AudioStream::CountingDecodes() - counted, predicted ? 0 : 1);
  const int channels = stream->format().channels;
  const int64_t expected = static_cast<int64_t>(reference.size() / channels);
  EXPECT_EQ(stream->sampleCount() == expected, !kContradicted.contains(name));
  std::vector<float> all, block(4096 * channels);
  int64_t read = 0;
  for (int64_t start = 0; start < stream->sampleCount(); start += read) {
    if (stream->GetSamples(start, block.data(), 4096, &read) < 0 || read <= 0) break;
    all.insert(all.end(), block.begin(), block.begin() + read * channels);
  }
  EXPECT_FALSE(stream->timelinePredicted());
  EXPECT_EQ(zr8::AudioStream::TimelineRebuilds() - rebuilt, kContradicted.contains(name) ? 1 : 0);
  EXPECT_EQ(stream->sampleCount(), expected);
  EXPECT_TRUE(all == reference);
}

// Every coding the recipes make, those whose noise a pre-roll does not rebuild included: the reads
// here run from the start.
std::vector<media::Recipe> AllAudio() {
  std::vector<media::Recipe> all = media::Recipes("samples");
  for (media::Recipe& recipe : media::Recipes("bounded")) all.push_back(std::move(recipe));
  return all;
}
INSTANTIATE_TEST_SUITE_P(Files, PredictedCountTest, testing::ValuesIn(AllAudio()),
                         [](const auto& info) { return media::Printable(info.param.name); });

// The codings whose decoders synthesise noise: every sample in order exact, reads at random starts
// at their places within the stated bound, and every read exact when ZR8READER_EXACT_AUDIO asks
// for it at open (as a second open of the file, whose timeline the index cache may hold).
class BoundedSamplesTest : public testing::TestWithParam<media::Recipe> {};
TEST_P(BoundedSamplesTest, AreAFullDecodesButForTheNoise) {
  const fs::path path = media::Made(GetParam());
  ExpectFullDecode(path, 0, StatedBound(path));
  {  // reads backwards decode a pre-roll, never from the start
    auto stream = zr8::AudioStream::Open(path.string(), 0, zr8::MemoryPool::Create());
    ASSERT_TRUE(stream);
    const int64_t count = stream->sampleCount();
    std::vector<float> samples(4096 * static_cast<size_t>(stream->format().channels));
    for (int64_t start : {count - 4096, count * 3 / 4, count / 2, count / 3}) {
      int64_t read = 0;
      ASSERT_GE(stream->GetSamples(std::max<int64_t>(start, 0), samples.data(), 4096, &read), 0);
    }
    EXPECT_EQ(stream->readsFromStart(), 0u);
  }
  struct Exact {
    Exact() { ::setenv("ZR8READER_EXACT_AUDIO", "1", 1); }
    ~Exact() { ::unsetenv("ZR8READER_EXACT_AUDIO"); }
  } exact;
  ExpectFullDecode(path);
}
INSTANTIATE_TEST_SUITE_P(Files, BoundedSamplesTest, testing::ValuesIn(media::Recipes("bounded")),
                         [](const auto& info) { return media::Printable(info.param.name); });

// Sounds a desktop sound theme ships (Vorbis in Ogg), where installed.
TEST(ShippedSoundsTest, EqualFullDecodes) {
  const fs::path dir = "/usr/share/sounds/freedesktop/stereo";
  if (!fs::exists(dir / "bell.oga")) GTEST_SKIP() << "no sound theme installed";
  for (const char* name : {"bell.oga", "audio-test-signal.oga", "complete.oga"}) {
    SCOPED_TRACE(name);
    ExpectFullDecode(dir / name);
  }
}

// Late streams of a file with many, whose readers take their parameters from the file's one probe:
// each stream's own (a neighbour's rate, layout or coding would not give its samples).
TEST(ManyStreamsTest, LateStreamsEqualTheirFullDecodes) {
  for (int stream : {39, 40}) {
    SCOPED_TRACE(stream);
    ExpectFullDecode(media::Named("many_streams.mkv"), stream);
  }
}

// PCM: a packet's bytes are its samples, and every packet, in order and then from the end
// backwards, is the file's data chunk.
TEST(CompressedSamplesTest, AreThePacketsBytes) {
  const fs::path path = media::Named("pcm24.wav");  // 24-bit stereo
  handles::File file = handles::OpenFile(path);
  handles::Audio audio = file ? handles::OpenAudio(file.get(), 0) : handles::Audio();
  ASSERT_TRUE(audio);
  int64_t size = 0;
  EXPECT_LT(ZR8READER_ReadAudioStream_GetCompressedSamples(audio.get(), 1, nullptr, 0, &size), 0);
  EXPECT_EQ(size % 6, 0);  // whole 24-bit stereo frames
  const std::string wave = media::ReadBytes(path);
  const std::string data = wave.substr(wave.find("data") + 8);
  std::vector<std::string> packets;
  std::vector<char> packet(1 << 16);
  int64_t read = 0;
  while (ZR8READER_ReadAudioStream_GetCompressedSamples(audio.get(), packets.size(), packet.data(),
                                                        packet.size(), &read) >= 0) {
    packets.emplace_back(packet.data(), read);
  }
  ASSERT_GT(packets.size(), 1u);
  EXPECT_EQ(static_cast<int64_t>(packets[1].size()), size);
  std::string forwards, backwards;
  for (const std::string& bytes : packets) forwards += bytes;
  for (size_t i = packets.size(); i-- > 0;) {
    ASSERT_GE(ZR8READER_ReadAudioStream_GetCompressedSamples(audio.get(), i, packet.data(),
                                                             packet.size(), &read),
              0);
    backwards.insert(0, packet.data(), read);
  }
  EXPECT_TRUE(forwards == data);
  EXPECT_TRUE(backwards == data);
}

// The client's extraction on the real library writes the samples of FFmpeg's decode: the first
// stream of a file, and the second stream of another (each stream of a file is its own).
TEST(RealExtract, WritesTheSamplesOfFFmpegsDecode) {
  for (const auto& [name, stream] : {std::pair{"extract.mp3", 0}, {"extract_two.mkv", 1}}) {
    const fs::path clip = media::Named(name);
    harness::ClientRun run;
    run.WithLibrary(harness::Library::kReal);
    fs::copy_file(clip, run.dir() / name);
    std::vector<std::string> arguments{name, "-audio", "-extract"};
    if (stream != 0) arguments.insert(arguments.end(), {"-stream", std::to_string(stream)});
    const auto result = run.Run(arguments);
    const std::vector<float> reference = media::ReferenceAudio(clip, stream);
    const std::string pcm = result.File("zr8reader.pcm");
    ASSERT_EQ(pcm.size(), reference.size() * sizeof(float)) << name;
    EXPECT_EQ(std::memcmp(pcm.data(), reference.data(), pcm.size()), 0) << name;
  }
}

}  // namespace
