// Audio read through the library against FFmpeg's own full decode of the same file: the sample
// count, every sample in order, and reads at random starts. The files come from several
// toolchains and carry what makes a count predicted from packets go wrong (priming, edit lists,
// end trims, laced blocks, pre-skip, layout changes, damage); the cases are grouped by the fault
// they catch.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>

#include "Handles.h"
#include "Media.h"

namespace {

namespace fs = std::filesystem;

std::string Replace(std::string text, const std::string& key, const std::string& value) {
  for (size_t at = text.find(key); at != std::string::npos;
       at = text.find(key, at + value.size())) {
    text.replace(at, key.size(), value);
  }
  return text;
}

// The 7-second stereo tones every toolchain encodes (44.1 and 48 kHz).
fs::path Source(int rate) {
  const std::string name = "exact_src" + std::to_string(rate) + ".wav";
  return media::Make(name, "-f lavfi -i 'aevalsrc=sin(440*2*PI*t)*0.5|sin(660*2*PI*t)*0.3:s=" +
                               std::to_string(rate) + ":d=7' -c:a pcm_s16le");
}

// Makes Dir()/name once with a shell command, in which {out} is the file to write, {src} and
// {src48} the 44.1 and 48 kHz sources; `after` may rewrite the file before it is kept.
fs::path MakeBy(const std::string& name, const std::string& command,
                const std::function<void(const fs::path&)>& after = nullptr) {
  const fs::path path = media::Dir() / name;
  if (fs::exists(path)) return path;
  const fs::path partial = media::Dir() / ("partial-" + std::to_string(getpid()) + "-" + name);
  std::string line = Replace(command, "{out}", media::Quote(partial.string()));
  line = Replace(line, "{src48}", media::Quote(Source(48000).string()));
  line = Replace(line, "{src}", media::Quote(Source(44100).string()));
  line = Replace(line, "ffmpeg ", "ffmpeg -nostdin -hide_banner -loglevel error -y ");
  if (std::system(("(" + line + ") </dev/null >/dev/null").c_str()) != 0) {
    throw std::runtime_error("failed: " + line);
  }
  if (after) after(partial);
  fs::rename(partial, path);
  return path;
}

// Sets the start of an MP4 file's first edit to `start` samples: the 2112-sample encoder delay
// common in files from other AAC encoders, on a file the ffmpeg tool wrote with 1024.
void SetEditStart(const fs::path& path, uint32_t start) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t at = bytes.find("elst");
  if (at == std::string::npos || bytes[at + 4] != 0) throw std::runtime_error("no edit list");
  const size_t mediaTime = at + 4 + 4 + 4 + 4;  // version and flags, entry count, duration
  file.seekp(static_cast<std::streamoff>(mediaTime));
  const char value[4] = {char(start >> 24), char(start >> 16), char(start >> 8), char(start)};
  file.write(value, 4);
}

class AudioUnderTest {
 public:
  AudioUnderTest(const fs::path& path, int stream) : path_(path) {
    file_ = handles::OpenFile(path);
    if (!file_) return;
    void* audio = nullptr;
    if (ZR8READER_ReadFile_OpenAudioStream(file_.get(), stream, &audio) < 0) return;
    audio_.reset(audio);
    Zr8AudioCompressedFormat format{};
    ZR8READER_ReadAudioStream_GetCompressedFormat(audio_.get(), &format);
    channels_ = format.channels;
    count_ = ZR8READER_ReadAudioStream_GetSampleCount(audio_.get());
  }
  bool ok() const { return audio_ != nullptr && channels_ > 0; }
  int channels() const { return channels_; }
  int64_t count() const { return count_; }
  void* get() const { return audio_.get(); }

  // Reads `count` frames from `start` in one call; empty when the call fails.
  std::vector<float> Read(int64_t start, int64_t count, int64_t* read) const {
    std::vector<float> samples(static_cast<size_t>(std::max<int64_t>(count, 1)) * channels_);
    if (ZR8READER_ReadAudioStream_GetSamples(audio_.get(), start, samples.data(), count, read) <
        0) {
      return {};
    }
    samples.resize(static_cast<size_t>(*read) * channels_);
    return samples;
  }
  std::vector<float> ReadAll() const {
    std::vector<float> all;
    for (int64_t start = 0; start < count_;) {
      int64_t read = 0;
      std::vector<float> block = Read(start, std::min<int64_t>(4096, count_ - start), &read);
      if (read <= 0) break;
      all.insert(all.end(), block.begin(), block.end());
      start += read;
    }
    return all;
  }

 private:
  fs::path path_;
  handles::File file_;
  handles::Audio audio_;
  int channels_ = 0;
  int64_t count_ = 0;
};

// Starts that catch a misplaced read: the first samples (where trims apply), the end, the middle,
// and random ones.
std::vector<std::pair<int64_t, int64_t>> Requests(int64_t count, int random) {
  std::mt19937 generator(7);
  std::vector<std::pair<int64_t, int64_t>> requests = {
      {count - 1, 1}, {0, 100}, {count / 2, 3000}, {count / 2 - 1, 2}, {1, 5000}, {count - 10, 10}};
  for (int i = 0; i < random; ++i) {
    requests.emplace_back(generator() % count, 1 + generator() % 6000);
  }
  return requests;
}

// Largest difference of a read from the reference at random starts; -1 when a read fails or has
// the wrong length.
float RandomReadError(const AudioUnderTest& audio, const std::vector<float>& reference,
                      int random) {
  float worst = 0;
  const int channels = audio.channels();
  for (const auto& [start, wanted] : Requests(audio.count(), random)) {
    int64_t read = 0;
    const std::vector<float> got = audio.Read(start, wanted, &read);
    const int64_t expected = std::min(wanted, audio.count() - start);
    if (read != expected || got.size() != static_cast<size_t>(expected * channels)) {
      ADD_FAILURE() << "read of " << wanted << " at " << start << " gave " << read;
      return -1;
    }
    for (size_t i = 0; i < got.size(); ++i) {
      const float error = std::abs(got[i] - reference[start * channels + i]);
      if (error > 0.01f) {
        ADD_FAILURE() << "read at " << start << " differs from sample " << start + i / channels;
        return error;
      }
      worst = std::max(worst, error);
    }
  }
  return worst;
}

// The count, every sample in order and reads at random starts equal FFmpeg's decode.
void ExpectFullDecode(const fs::path& path, int stream = 0) {
  AudioUnderTest audio(path, stream);
  ASSERT_TRUE(audio.ok()) << path;
  const std::vector<float> reference = media::ReferenceAudio(path, stream);
  ASSERT_EQ(audio.count(), static_cast<int64_t>(reference.size() / audio.channels()));
  const std::vector<float> all = audio.ReadAll();
  ASSERT_EQ(all.size(), reference.size());
  EXPECT_TRUE(std::memcmp(all.data(), reference.data(), all.size() * sizeof(float)) == 0);
  EXPECT_EQ(RandomReadError(audio, reference, 16), 0.0f);
}

struct Made {
  const char* name;
  const char* command;
  uint32_t fourCC = 0;  // of the format the stream reports, where checked
};

std::string Printable(std::string name) {
  std::replace_if(
      name.begin(), name.end(), [](char c) { return !isalnum(c); }, '_');
  return name;
}

#define ZR8_TONE(rate, seconds) \
  "-f lavfi -i 'aevalsrc=sin(440*2*PI*t)*0.5|sin(660*2*PI*t)*0.3:s=" #rate ":d=" #seconds "'"
// The ffmpeg tool's AAC encoder substitutes noise for some bands; decoded after a seek, that noise
// differs from a continuous decode's (see NoiseSubstitution). Off where samples are compared.
#define ZR8_AAC "-c:a aac -aac_pns 0"

// Each coding and container as the ffmpeg tool writes them.
const Made kCodings[] = {
    {"aac_nopns.m4a", "ffmpeg " ZR8_TONE(44100, 1.3) " " ZR8_AAC " -b:a 96k {out}", 0x6D703461u},
    {"mp3.mp3", "ffmpeg " ZR8_TONE(44100, 4.5) " -c:a libmp3lame -b:a 128k {out}", 0x2E6D7033u},
    {"opus.opus", "ffmpeg " ZR8_TONE(48000, 1.3) " -c:a libopus -b:a 64k {out}", 0x4F707573u},
    {"flac.flac", "ffmpeg " ZR8_TONE(44100, 3.5) " -c:a flac -sample_fmt s16 {out}", 0x664C6143u},
    {"pcm24.wav", "ffmpeg " ZR8_TONE(48000, 1.1) " -c:a pcm_s24le {out}", 0x6C70636Du},
    {"vorbis.ogg", "ffmpeg " ZR8_TONE(44100, 2.2) " -c:a libvorbis {out}", 0x766F7262u},
    {"ac3.ac3", "ffmpeg " ZR8_TONE(48000, 2.5) " -c:a ac3 {out}", 0x61632D33u},
    {"mp2.mp2", "ffmpeg " ZR8_TONE(48000, 3.5) " -c:a mp2 {out}", 0x2E6D7032u},
    {"alac.m4a", "ffmpeg " ZR8_TONE(44100, 3.5) " -c:a alac {out}", 0x616C6163u},
    {"opus.webm", "ffmpeg " ZR8_TONE(48000, 2.5) " -c:a libopus {out}", 0x4F707573u},
    {"vorbis.webm", "ffmpeg " ZR8_TONE(44100, 2.5) " -c:a libvorbis {out}", 0x766F7262u},
    {"adts_nopns.aac", "ffmpeg " ZR8_TONE(44100, 1.5) " " ZR8_AAC " {out}", 0x6D703461u},
    {"mp3_in.mkv", "ffmpeg " ZR8_TONE(44100, 3.5) " -c:a libmp3lame {out}", 0x2E6D7033u},
    {"av_clip_nopns.mp4",
     "ffmpeg -f lavfi -i testsrc2=size=64x48:rate=25 " ZR8_TONE(
         48000, 2) " -t 2 -c:v libx264 "
                   "-preset ultrafast " ZR8_AAC " {out}",
     0x6D703461u},
};

// Other toolchains' encoders and muxers; the counts of GStreamer's FLAC in Matroska came out 32
// short when predicted from packets.
const Made kToolchains[] = {
    {"lame_gapless.mp3", "lame --quiet {src} {out}"},
    {"opusenc_preskip.opus", "opusenc --quiet {src} {out}"},
    {"oggenc_granules.ogg", "oggenc -Q -o {out} {src}"},
    {"sox.flac", "sox {src} {out}"},
    {"sox_vorbis.ogg", "sox {src} -t vorbis {out}"},
    {"mkvmerge_flac.mkv", "flac -s -f -o {out}.flac {src} && mkvmerge -q -o {out} {out}.flac"},
#define ZR8_GST(name, chain)                                                                     \
  {                                                                                              \
    name,                                                                                        \
        "gst-launch-1.0 -q audiotestsrc num-buffers=200 freq=523 ! "                             \
        "audio/x-raw,rate=48000,channels=2 ! audioconvert ! " chain " ! filesink location={out}" \
  }
    ZR8_GST("gst_lame.mp3", "lamemp3enc"),
    ZR8_GST("gst_opus.ogg", "opusenc ! oggmux"),
    ZR8_GST("gst_flac.mkv", "flacenc ! matroskamux"),
    ZR8_GST("gst_vorbis.ogg", "vorbisenc ! oggmux"),
    ZR8_GST("gst_opus.mkv", "opusenc ! matroskamux"),
    ZR8_GST("gst_mp3.avi", "lamemp3enc ! avimux"),
#undef ZR8_GST
};

// Starts that the container or the coding trims: edit lists (an empty edit, a cut inside a
// packet: 576 samples too many when counted from packets), FLAC in the ffmpeg tool's Matroska
// (1,482 too few, reads shifted), AC-3 beside video in AVI.
const Made kTrimmed[] = {
    {"edit_cut.mp4", "ffmpeg -f lavfi -i testsrc2=size=64x48:rate=25 " ZR8_TONE(
                         48000, 4) " -t 4 "
                                   "-c:v libx264 -preset ultrafast " ZR8_AAC " {out}.mp4 && "
                                   "ffmpeg -ss 1.1 -i {out}.mp4 -c copy -f mp4 {out}"},
    {"edit_delay.mp4", "ffmpeg -i {src} " ZR8_AAC " {out}.m4a && "
                       "ffmpeg -itsoffset 0.37 -i {out}.m4a -c copy -f mp4 {out}"},
    {"flac.mkv", "ffmpeg -i {src} -c:a flac {out}.mkv && mv {out}.mkv {out}"},
    {"ac3_video.avi",
     "ffmpeg -f lavfi -i testsrc2=size=64x48:rate=25 -i {src48} -t 4 -c:v mpeg4 "
     "-c:a ac3 -f avi {out}"},
};

class CodingTest : public testing::TestWithParam<Made> {};
TEST_P(CodingTest, EqualsAFullDecode) {
  const fs::path path = MakeBy(GetParam().name, GetParam().command);
  ExpectFullDecode(path);
  AudioUnderTest audio(path, 0);
  Zr8AudioCompressedFormat format{};
  ASSERT_EQ(ZR8READER_ReadAudioStream_GetCompressedFormat(audio.get(), &format), 0);
  EXPECT_EQ(format.fourCC, GetParam().fourCC);
  EXPECT_EQ(format.channels, 2);
  EXPECT_GT(format.bitDepth, 0);
  EXPECT_EQ(format.sampleCount, audio.count());
  EXPECT_NEAR(ZR8READER_ReadAudioStream_GetStreamLength(audio.get()),
              audio.count() * 10000000 / static_cast<int64_t>(format.sampleRate), 1);
}
INSTANTIATE_TEST_SUITE_P(Clips, CodingTest, testing::ValuesIn(kCodings),
                         [](const auto& info) { return Printable(info.param.name); });

class ToolchainTest : public testing::TestWithParam<Made> {};
TEST_P(ToolchainTest, EqualsAFullDecode) {
  ExpectFullDecode(MakeBy(GetParam().name, GetParam().command));
}
INSTANTIATE_TEST_SUITE_P(Files, ToolchainTest, testing::ValuesIn(kToolchains),
                         [](const auto& info) { return Printable(info.param.name); });

class TrimmedStartTest : public testing::TestWithParam<Made> {};
TEST_P(TrimmedStartTest, EqualsAFullDecode) {
  ExpectFullDecode(MakeBy(GetParam().name, GetParam().command));
}
INSTANTIATE_TEST_SUITE_P(Files, TrimmedStartTest, testing::ValuesIn(kTrimmed),
                         [](const auto& info) { return Printable(info.param.name); });

// AAC with the 2112-sample delay other encoders write (counted from packets: 64 too many).
TEST(TrimmedStartTest, AacDelayOf2112) {
  ExpectFullDecode(MakeBy("aac_delay2112.m4a", "ffmpeg -i {src} " ZR8_AAC " -f mp4 {out}",
                          [](const fs::path& path) { SetEditStart(path, 2112); }));
}

// Sounds a desktop sound theme ships (Vorbis in Ogg), where installed.
TEST(ShippedSoundsTest, EqualFullDecodes) {
  const fs::path dir = "/usr/share/sounds/freedesktop/stereo";
  if (!fs::exists(dir / "bell.oga")) GTEST_SKIP() << "no sound theme installed";
  for (const char* name : {"bell.oga", "audio-test-signal.oga", "complete.oga"}) {
    SCOPED_TRACE(name);
    ExpectFullDecode(dir / name);
  }
}

// A broadcast capture's layout changes mid-stream (ADTS AAC stereo then mono, and the reverse):
// the converter is rebuilt and the samples come in the stream's declared layout, both channels
// of a stereo part mixed into a mono stream. Before: a crash in the resampler.
TEST(FormatChangeTest, LayoutChangesEqualAFullDecode) {
  const std::string stereo = "ffmpeg -i {src} -t 4 -ac 2 " ZR8_AAC " -f adts {out}.st && ";
  const std::string mono =
      "ffmpeg -f lavfi -i sine=f=300:r=44100:d=3 -ac 1 " ZR8_AAC " -f adts {out}.mo && ";
  ExpectFullDecode(MakeBy("stereo_mono.aac", stereo + mono + "cat {out}.st {out}.mo > {out}"));
  ExpectFullDecode(MakeBy("mono_stereo.aac", stereo + mono + "cat {out}.mo {out}.st > {out}"));
}

// A rate change is resampled to the stream's rate, as a full decode resamples it (what the
// resampler holds back included); reads at a start behind decode from the beginning.
TEST(FormatChangeTest, RateChangeIsResampled) {
  ExpectFullDecode(MakeBy("rate_change.aac",
                          "ffmpeg -i {src} -t 3 " ZR8_AAC " -f adts {out}.a && "
                          "ffmpeg -f lavfi -i sine=f=300:r=22050:d=2 -ac 2 " ZR8_AAC
                          " -f adts {out}.b && cat {out}.a {out}.b > {out}"));
}

// AAC's noise substitution draws from a generator that runs through the whole stream: after a
// seek its noise differs from a continuous decode's, at the level of the noise (here, bands of a
// tone 100 dB down); all else is exact.
TEST(NoiseSubstitutionTest, DiffersOnlyInTheNoise) {
  const fs::path path = MakeBy("aac_pns.m4a", "ffmpeg -i {src} -c:a aac -b:a 96k {out}");
  AudioUnderTest audio(path, 0);
  ASSERT_TRUE(audio.ok());
  const std::vector<float> reference = media::ReferenceAudio(path);
  ASSERT_EQ(audio.count(), static_cast<int64_t>(reference.size() / 2));
  EXPECT_TRUE(audio.ReadAll() == reference);
  const float error = RandomReadError(audio, reference, 16);
  EXPECT_GE(error, 0.0f);
  EXPECT_LT(error, 1e-3f);
}

// A zeroed region in a long AAC stream: the samples of a full decode, at about the cost of that
// decode (before: minutes for ten minutes of audio, stepping back over the damage again and
// again).
TEST(DamagedRegionTest, DecodesAtTheToolsPace) {
  const fs::path path = MakeBy(
      "aac_damaged.aac",
      "ffmpeg " ZR8_TONE(
          48000, 150) " " ZR8_AAC
                      " -b:a 128k -f adts {out} && "
                      "dd if=/dev/zero of={out} bs=65536 seek=20 count=2 conv=notrunc status=none");
  const auto clock = std::chrono::steady_clock::now;
  auto began = clock();
  const std::vector<float> reference = media::ReferenceAudio(path);
  const double tool = std::chrono::duration<double>(clock() - began).count();
  began = clock();
  AudioUnderTest audio(path, 0);
  ASSERT_TRUE(audio.ok());
  const std::vector<float> all = audio.ReadAll();
  const double library = std::chrono::duration<double>(clock() - began).count();
  ASSERT_EQ(audio.count(), static_cast<int64_t>(reference.size() / 2));
  EXPECT_TRUE(all == reference);
  EXPECT_EQ(RandomReadError(audio, reference, 16), 0.0f);
  // Opening decodes the stream once and the read once more: a few times the tool's decode.
  EXPECT_LT(library, 10 * tool + 2.0) << "tool " << tool << " s";
}

// The fixture of calls at and past the end and with bad arguments.
TEST(SampleBoundsTest, EndAndBadArgumentsLeaveReadsExact) {
  const fs::path path = MakeBy(kCodings[1].name, kCodings[1].command);
  AudioUnderTest audio(path, 0);
  ASSERT_TRUE(audio.ok());
  const std::vector<float> reference = media::ReferenceAudio(path);
  const int64_t count = audio.count();
  std::vector<float> buffer(32);
  int64_t read = -1;
  EXPECT_GE(ZR8READER_ReadAudioStream_GetSamples(audio.get(), count, buffer.data(), 16, &read), 0);
  EXPECT_EQ(read, 0);
  for (int64_t start : {count + 1, int64_t{-1}, INT64_MAX}) {
    EXPECT_LT(ZR8READER_ReadAudioStream_GetSamples(audio.get(), start, buffer.data(), 16, &read),
              0);
    EXPECT_EQ(read, 0);
  }
  EXPECT_LT(ZR8READER_ReadAudioStream_GetSamples(audio.get(), 0, nullptr, 16, &read), 0);
  EXPECT_LT(ZR8READER_ReadAudioStream_GetSamples(audio.get(), 0, buffer.data(), 16, nullptr), 0);
  EXPECT_LT(ZR8READER_ReadAudioStream_GetSamples(audio.get(), 0, buffer.data(), -1, &read), 0);
  EXPECT_TRUE(audio.Read(5, 16, &read) ==
              std::vector<float>(reference.begin() + 10, reference.begin() + 42));
}

}  // namespace
