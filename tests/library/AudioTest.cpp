// Audio streams of a file: each its own, their formats, and their compressed packets. (Their
// samples against FFmpeg's decode: SampleExactnessTest.)
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "Handles.h"
#include "Media.h"

namespace {

#define ZR8_TONE(rate, seconds) \
  "-f lavfi -i 'aevalsrc=sin(440*2*PI*t)*0.5|sin(660*2*PI*t)*0.3:s=" #rate ":d=" #seconds "'"

TEST(AudioStreamsTest, EachStreamOfAFileIsItsOwn) {
  handles::File file = handles::OpenFile(media::Make(
      "two_streams.mkv",
      ZR8_TONE(32000, 1.0) " -f lavfi -i sine=frequency=1000:sample_rate=22050:duration=1.7 "
                           "-map 0:a -map 1:a -c:a:0 flac -c:a:1 aac"));
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
  // PCM: a packet's bytes are its samples, and all packets in order are the file's data.
  const std::filesystem::path path =
      media::Make("pcm24.wav", ZR8_TONE(48000, 1.1) " -c:a pcm_s24le");
  handles::File file = handles::OpenFile(path);
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
  // Every packet, in order and then from the end backwards, is the file's data chunk.
  std::ifstream in(path, std::ios::binary);
  const std::string wave((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string data = wave.substr(wave.find("data") + 8);
  auto packets = [&](bool backwards) {
    std::vector<std::string> found;
    for (int64_t i = 0;; ++i) {
      std::vector<uint8_t> packet(1 << 16);
      if (ZR8READER_ReadAudioStream_GetCompressedSamples(audio.get(), i, packet.data(),
                                                         packet.size(), &read) < 0) {
        break;
      }
      found.emplace_back(packet.begin(), packet.begin() + read);
    }
    if (backwards) {
      for (size_t i = found.size(); i-- > 0;) {
        std::vector<uint8_t> packet(found[i].size());
        ZR8READER_ReadAudioStream_GetCompressedSamples(audio.get(), static_cast<int64_t>(i),
                                                       packet.data(), packet.size(), &read);
        found[i].assign(packet.begin(), packet.end());
      }
    }
    std::string all;
    for (const auto& packet : found) all += packet;
    return all;
  };
  EXPECT_TRUE(packets(false) == data);
  EXPECT_TRUE(packets(true) == data);
}

}  // namespace
