// Audio streams against FFmpeg's own decode: exact sample counts and sample values, in blocks,
// from random starts, at and past the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "Handles.h"
#include "Media.h"

namespace {

struct AudioClip {
  const char* name;
  const char* arguments;
  int stream;
  int channels;
  uint32_t fourCC;
};

#define ZR8_TONE(rate, seconds) \
  "-f lavfi -i 'aevalsrc=sin(440*2*PI*t)*0.5|sin(660*2*PI*t)*0.3:s=" #rate ":d=" #seconds "'"

const AudioClip kAudio[] = {
    {"aac.m4a", ZR8_TONE(44100, 1.3) " -c:a aac -b:a 96k", 0, 2, 0x6D703461u},
    {"mp3.mp3", ZR8_TONE(44100, 4.5) " -c:a libmp3lame -b:a 128k", 0, 2, 0x2E6D7033u},
    {"opus.opus", ZR8_TONE(48000, 1.3) " -c:a libopus -b:a 64k", 0, 2, 0x4F707573u},
    {"flac.flac", ZR8_TONE(44100, 3.5) " -c:a flac -sample_fmt s16", 0, 2, 0x664C6143u},
    {"pcm24.wav", ZR8_TONE(48000, 1.1) " -c:a pcm_s24le", 0, 2, 0x6C70636Du},
    {"vorbis.ogg", ZR8_TONE(44100, 2.2) " -c:a libvorbis", 0, 2, 0x766F7262u},
    {"ac3.ac3", ZR8_TONE(48000, 2.5) " -c:a ac3", 0, 2, 0x61632D33u},
    {"mp2.mp2", ZR8_TONE(48000, 3.5) " -c:a mp2", 0, 2, 0x2E6D7032u},
    {"alac.m4a", ZR8_TONE(44100, 3.5) " -c:a alac", 0, 2, 0x616C6163u},
    {"opus.webm", ZR8_TONE(48000, 2.5) " -c:a libopus", 0, 2, 0x4F707573u},
    {"adts.aac", ZR8_TONE(44100, 1.5) " -c:a aac", 0, 2, 0x6D703461u},
    {"mp3_in.mkv", ZR8_TONE(44100, 3.5) " -c:a libmp3lame", 0, 2, 0x2E6D7033u},
    {"two_streams.mkv",
     ZR8_TONE(32000, 1.0) " -f lavfi -i sine=frequency=1000:sample_rate=22050:duration=1.7 "
                          "-map 0:a -map 1:a -c:a:0 flac -c:a:1 aac",
     1, 1, 0x6D703461u},
    {"av_clip.mp4",
     "-f lavfi -i testsrc2=size=64x48:rate=25 " ZR8_TONE(48000, 2) " -t 2 -c:v libx264 "
                                                                   "-preset ultrafast -c:a aac",
     0, 2, 0x6D703461u},
};

class AudioClipTest : public testing::TestWithParam<AudioClip> {
 protected:
  void SetUp() override {
    path_ = media::Make(GetParam().name, GetParam().arguments);
    file_ = handles::OpenFile(path_);
    ASSERT_TRUE(file_);
    void* audio = nullptr;
    ASSERT_EQ(ZR8READER_ReadFile_OpenAudioStream(file_.get(), GetParam().stream, &audio), 0);
    audio_.reset(audio);
    reference_ = media::ReferenceAudio(path_, GetParam().stream);
    channels_ = GetParam().channels;
  }

  // Reads `count` frames from `start` in one call; empty when the call fails.
  std::vector<float> Read(int64_t start, int64_t count, int64_t* read) {
    std::vector<float> samples(static_cast<size_t>(std::max<int64_t>(count, 1)) * channels_);
    if (ZR8READER_ReadAudioStream_GetSamples(audio_.get(), start, samples.data(), count, read) <
        0) {
      return {};
    }
    samples.resize(static_cast<size_t>(*read) * channels_);
    return samples;
  }
  std::vector<float> Slice(int64_t start, int64_t count) const {
    return std::vector<float>(reference_.begin() + start * channels_,
                              reference_.begin() + (start + count) * channels_);
  }

  std::filesystem::path path_;
  handles::File file_;
  handles::Audio audio_;
  std::vector<float> reference_;
  int channels_ = 0;
};

TEST_P(AudioClipTest, FormatAndCountMatchAFullDecode) {
  Zr8AudioCompressedFormat format{};
  ASSERT_EQ(ZR8READER_ReadAudioStream_GetCompressedFormat(audio_.get(), &format), 0);
  EXPECT_EQ(format.channels, channels_);
  EXPECT_EQ(format.fourCC, GetParam().fourCC);
  EXPECT_GT(format.sampleRate, 0);
  EXPECT_GT(format.bitDepth, 0);
  const int64_t count = ZR8READER_ReadAudioStream_GetSampleCount(audio_.get());
  EXPECT_EQ(count, static_cast<int64_t>(reference_.size() / channels_));
  EXPECT_NEAR(ZR8READER_ReadAudioStream_GetStreamLength(audio_.get()),
              count * 10000000 / static_cast<int64_t>(format.sampleRate), 1);
}

TEST_P(AudioClipTest, BlocksOf4096FromZeroAreOneContinuousDecode) {
  const int64_t count = ZR8READER_ReadAudioStream_GetSampleCount(audio_.get());
  std::vector<float> all;
  for (int64_t start = 0; start < count;) {
    int64_t read = 0;
    std::vector<float> block = Read(start, std::min<int64_t>(4096, count - start), &read);
    ASSERT_GT(read, 0) << "at " << start;
    all.insert(all.end(), block.begin(), block.end());
    start += read;
  }
  ASSERT_EQ(all.size(), reference_.size());
  EXPECT_TRUE(std::memcmp(all.data(), reference_.data(), all.size() * sizeof(float)) == 0);
}

TEST_P(AudioClipTest, RandomStartsAreSampleAccurate) {
  const int64_t count = ZR8READER_ReadAudioStream_GetSampleCount(audio_.get());
  std::mt19937 random(7);
  std::vector<std::pair<int64_t, int64_t>> requests = {
      {count - 1, 1}, {0, 100}, {count / 2, 3000}, {count / 2 - 1, 2}, {1, 5000}, {count - 10, 10}};
  for (int i = 0; i < 12; ++i) {
    const int64_t start = random() % count;
    requests.emplace_back(start, 1 + random() % 6000);
  }
  for (const auto& [start, wanted] : requests) {
    int64_t read = 0;
    std::vector<float> got = Read(start, wanted, &read);
    const int64_t expected = std::min(wanted, count - start);
    ASSERT_EQ(read, expected) << "at " << start;
    ASSERT_TRUE(got == Slice(start, expected)) << "at " << start << " for " << wanted;
  }
}

TEST_P(AudioClipTest, EndAndBadArguments) {
  const int64_t count = ZR8READER_ReadAudioStream_GetSampleCount(audio_.get());
  std::vector<float> buffer(16 * channels_);
  int64_t read = -1;
  EXPECT_GE(ZR8READER_ReadAudioStream_GetSamples(audio_.get(), count, buffer.data(), 16, &read), 0);
  EXPECT_EQ(read, 0);
  for (int64_t start : {count + 1, int64_t{-1}, INT64_MAX}) {
    EXPECT_LT(ZR8READER_ReadAudioStream_GetSamples(audio_.get(), start, buffer.data(), 16, &read),
              0);
    EXPECT_EQ(read, 0);
  }
  EXPECT_LT(ZR8READER_ReadAudioStream_GetSamples(audio_.get(), 0, nullptr, 16, &read), 0);
  EXPECT_LT(ZR8READER_ReadAudioStream_GetSamples(audio_.get(), 0, buffer.data(), 16, nullptr), 0);
  EXPECT_LT(ZR8READER_ReadAudioStream_GetSamples(audio_.get(), 0, buffer.data(), -1, &read), 0);
  // Still sample-accurate after the refusals.
  EXPECT_TRUE(Read(5, 16, &read) == Slice(5, 16));
}

INSTANTIATE_TEST_SUITE_P(Clips, AudioClipTest, testing::ValuesIn(kAudio),
                         [](const testing::TestParamInfo<AudioClip>& info) {
                           std::string name = info.param.name;
                           std::replace_if(
                               name.begin(), name.end(), [](char c) { return !isalnum(c); }, '_');
                           return name;
                         });

TEST(AudioStreamsTest, EachStreamOfAFileIsItsOwn) {
  const AudioClip& clip =
      *std::find_if(std::begin(kAudio), std::end(kAudio),
                    [](const AudioClip& c) { return std::string(c.name) == "two_streams.mkv"; });
  handles::File file = handles::OpenFile(media::Make(clip.name, clip.arguments));
  ASSERT_TRUE(file);
  EXPECT_EQ(ZR8READER_ReadFile_GetAudioStreamCount(file.get()), 2);
  EXPECT_EQ(ZR8READER_ReadFile_GetVideoStreamCount(file.get()), 0);
  void* first = nullptr;
  void* second = nullptr;
  ASSERT_EQ(ZR8READER_ReadFile_OpenAudioStream(file.get(), 0, &first), 0);
  handles::Audio a(first);
  ASSERT_EQ(ZR8READER_ReadFile_OpenAudioStream(file.get(), 1, &second), 0);
  handles::Audio b(second);
  Zr8AudioCompressedFormat fa{}, fb{};
  ZR8READER_ReadAudioStream_GetCompressedFormat(a.get(), &fa);
  ZR8READER_ReadAudioStream_GetCompressedFormat(b.get(), &fb);
  EXPECT_EQ(fa.fourCC, 0x664C6143u);  // 'fLaC'
  EXPECT_EQ(fa.sampleRate, 32000);
  EXPECT_EQ(fa.bitDepth, 24);  // FLAC from a float source: 24-bit
  EXPECT_EQ(fb.sampleRate, 22050);
  EXPECT_EQ(ZR8READER_ReadAudioStream_GetSampleCount(a.get()), 32000);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_LT(ZR8READER_ReadFile_OpenAudioStream(file.get(), 2, &none), 0);
  EXPECT_EQ(none, nullptr);
  EXPECT_LT(ZR8READER_ReadFile_OpenAudioStream(file.get(), -1, &none), 0);
}

TEST(AudioPacketsTest, CompressedSamplesAreThePacketsBytes) {
  const AudioClip& clip =
      *std::find_if(std::begin(kAudio), std::end(kAudio), [](const AudioClip& c) {
        return std::string(c.name) == "pcm24.wav";  // PCM: a packet's bytes are its samples
      });
  handles::File file = handles::OpenFile(media::Make(clip.name, clip.arguments));
  ASSERT_TRUE(file);
  void* raw = nullptr;
  ASSERT_EQ(ZR8READER_ReadFile_OpenAudioStream(file.get(), 0, &raw), 0);
  handles::Audio audio(raw);
  int64_t size = 0;
  EXPECT_LT(ZR8READER_ReadAudioStream_GetCompressedSamples(audio.get(), 1, nullptr, 0, &size), 0);
  ASSERT_GT(size, 0);
  EXPECT_EQ(size % 6, 0);  // whole 24-bit stereo frames
  std::vector<uint8_t> bytes(size);
  int64_t read = 0;
  ASSERT_EQ(
      ZR8READER_ReadAudioStream_GetCompressedSamples(audio.get(), 1, bytes.data(), size, &read), 0);
  EXPECT_EQ(read, size);
  EXPECT_LT(ZR8READER_ReadAudioStream_GetCompressedSamples(audio.get(), 1 << 30, bytes.data(), size,
                                                           &read),
            0);
}

}  // namespace
