// Audio read through the library against FFmpeg's own full decode of the same file: the sample
// count, every sample in order, and reads at random starts. The files come from several
// toolchains and carry what makes a count predicted from packets go wrong (priming, edit lists,
// end trims, laced blocks, pre-skip, layout changes, damage); the cases are grouped by the fault
// they catch. Also the compressed packets, and the client's extraction.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <sstream>

#include "Handles.h"
#include "e2e/ClientHarness.h"

namespace {

namespace fs = std::filesystem;

// Makes Dir()/name once with a shell command, in which $SRC and $SRC48 are the 7-second stereo
// tones every toolchain encodes (44.1 and 48 kHz).
fs::path MakeBy(const std::string& name, const std::string& command) {
  std::string sources;
  for (int rate : {44100, 48000}) {
    const fs::path source = media::Make(
        "exact_src" + std::to_string(rate) + ".wav",
        "-f lavfi -i 'aevalsrc=sin(440*2*PI*t)*0.5|sin(660*2*PI*t)*0.3:s=" + std::to_string(rate) +
            ":d=7' -c:a pcm_s16le");
    sources += (rate == 44100 ? "SRC=" : "SRC48=") + media::Quote(source.string()) + "; ";
  }
  return media::MakeByShell(name, sources + command);
}

// A file's audio stream with its format and sample count.
struct Audio {
  Audio(const fs::path& path, int stream) : file(handles::OpenFile(path)) {
    if (file) audio = handles::OpenAudio(file.get(), stream);
    if (audio) ZR8READER_ReadAudioStream_GetCompressedFormat(audio.get(), &format);
    count = audio ? ZR8READER_ReadAudioStream_GetSampleCount(audio.get()) : 0;
  }
  // Reads `frames` frames from `start` in one call; empty when the call fails.
  std::vector<float> Read(int64_t start, int64_t frames, int64_t* read) const {
    std::vector<float> samples(static_cast<size_t>(std::max<int64_t>(frames, 1)) * format.channels);
    if (ZR8READER_ReadAudioStream_GetSamples(audio.get(), start, samples.data(), frames, read) < 0)
      return {};
    samples.resize(static_cast<size_t>(*read) * format.channels);
    return samples;
  }

  handles::File file;
  handles::Audio audio;
  Zr8AudioCompressedFormat format{};
  int64_t count = 0;
};

// Largest difference from the reference of reads that catch a misplaced read: the first samples
// (where trims apply), the end, the middle, and 16 random starts; -1 when a read fails or has the
// wrong length.
float RandomReadError(const Audio& audio, const std::vector<float>& reference) {
  const int64_t count = audio.count;
  const int channels = audio.format.channels;
  std::vector<std::pair<int64_t, int64_t>> requests = {
      {count - 1, 1}, {0, 100}, {count / 2, 3000}, {count / 2 - 1, 2}, {1, 5000}, {count - 10, 10}};
  std::mt19937 generator(7);
  for (int i = 0; i < 16; ++i) requests.emplace_back(generator() % count, 1 + generator() % 6000);
  float worst = 0;
  for (const auto& [start, wanted] : requests) {
    int64_t read = 0;
    const std::vector<float> got = audio.Read(start, wanted, &read);
    if (read != std::min(wanted, count - start) || got.size() != size_t(read * channels)) {
      ADD_FAILURE() << "read of " << wanted << " at " << start << " gave " << read;
      return -1;
    }
    for (size_t i = 0; i < got.size(); ++i) {
      worst = std::max(worst, std::abs(got[i] - reference[start * channels + i]));
      if (worst > 0.01f) {
        ADD_FAILURE() << "read at " << start << " differs at " << start + i / channels;
        return worst;
      }
    }
  }
  return worst;
}

// The count (also as the format and the length report it), every sample in order and reads at
// random starts equal FFmpeg's decode; the library's open and
// read cost a few times the tool's decode at most (before: minutes for a damaged region that
// the tool decodes in a second, stepping back over the damage again and again).
void ExpectFullDecode(const fs::path& path) {
  const auto clock = std::chrono::steady_clock::now;
  auto began = clock();
  const std::vector<float> reference = media::ReferenceAudio(path);
  const std::chrono::duration<double> tool = clock() - began;
  began = clock();
  const Audio audio(path, 0);
  ASSERT_TRUE(audio.audio && audio.format.channels > 0) << path;
  std::vector<float> all;
  int64_t read = 0;
  for (int64_t start = 0; start < audio.count; start += read) {
    const std::vector<float> block = audio.Read(start, 4096, &read);
    if (read <= 0) break;
    all.insert(all.end(), block.begin(), block.end());
  }
  const std::chrono::duration<double> library = clock() - began;
  ASSERT_EQ(audio.count, static_cast<int64_t>(reference.size() / audio.format.channels));
  EXPECT_EQ(audio.format.sampleCount, audio.count);
  EXPECT_NEAR(ZR8READER_ReadAudioStream_GetStreamLength(audio.audio.get()),
              audio.count * 10000000 / static_cast<int64_t>(audio.format.sampleRate), 1);
  EXPECT_TRUE(all == reference);
  const float error = RandomReadError(audio, reference);
  EXPECT_EQ(error, 0.0f);
  EXPECT_LT(library.count(), 10 * tool.count() + 2.0) << "tool " << tool.count() << " s";
}

struct Made {
  const char* name;
  const char* command;
};

#define ZR8_TONE(rate, seconds) \
  "-f lavfi -i 'aevalsrc=sin(440*2*PI*t)*0.5|sin(660*2*PI*t)*0.3:s=" #rate ":d=" #seconds "'"
// The ffmpeg tool's AAC encoder substitutes noise for some bands, drawn from a generator that runs
// through the whole stream: such a stream decodes from its start for a read behind (opening finds
// that a pre-roll does not give the full decode's samples). Off where the pre-roll is tested.
#define ZR8_AAC "-c:a aac -aac_pns 0"

// Each coding and container as the ffmpeg tool writes them.
const Made kCodings[] = {
    {"aac_nopns.m4a", "ffmpeg " ZR8_TONE(44100, 1.3) " " ZR8_AAC " -b:a 96k $OUT"},
    {"mp3.mp3", "ffmpeg " ZR8_TONE(44100, 4.5) " -c:a libmp3lame -b:a 128k $OUT"},
    {"opus.opus", "ffmpeg " ZR8_TONE(48000, 1.3) " -c:a libopus -b:a 64k $OUT"},
    {"flac.flac", "ffmpeg " ZR8_TONE(44100, 3.5) " -c:a flac -sample_fmt s16 $OUT"},
    {"pcm24.wav", "ffmpeg " ZR8_TONE(48000, 1.1) " -c:a pcm_s24le $OUT"},
    {"vorbis.ogg", "ffmpeg " ZR8_TONE(44100, 2.2) " -c:a libvorbis $OUT"},
    {"ac3.ac3", "ffmpeg " ZR8_TONE(48000, 2.5) " -c:a ac3 $OUT"},
    {"mp2.mp2", "ffmpeg " ZR8_TONE(48000, 3.5) " -c:a mp2 $OUT"},
    {"alac.m4a", "ffmpeg " ZR8_TONE(44100, 3.5) " -c:a alac $OUT"},
    {"opus.webm", "ffmpeg " ZR8_TONE(48000, 2.5) " -c:a libopus $OUT"},
    {"vorbis.webm", "ffmpeg " ZR8_TONE(44100, 2.5) " -c:a libvorbis $OUT"},
    {"adts_nopns.aac", "ffmpeg " ZR8_TONE(44100, 1.5) " " ZR8_AAC " $OUT"},
    {"mp3_in.mkv", "ffmpeg " ZR8_TONE(44100, 3.5) " -c:a libmp3lame $OUT"},
    {"av_clip_nopns.mp4", "ffmpeg -f lavfi -i testsrc2=size=64x48:rate=25 " ZR8_TONE(
                              48000, 2) " -t 2 -c:v libx264 -preset ultrafast " ZR8_AAC " $OUT"},
    {"aac_pns.m4a", "ffmpeg -i $SRC -c:a aac -b:a 96k $OUT"},
    // Frames without their packet's tag: a packet cut into several frames, a last frame given out
    // only when the decoder is drained.
    {"adpcm_ima.wav", "ffmpeg " ZR8_TONE(44100, 2.5) " -c:a adpcm_ima_wav $OUT"},
    {"wmav2.wma", "ffmpeg " ZR8_TONE(48000, 2.1) " -c:a wmav2 $OUT"},
};

// Other toolchains' encoders and muxers; the counts of GStreamer's FLAC in Matroska came out 32
// short when predicted from packets.
#define ZR8_GST(name, chain)                                                                    \
  {                                                                                             \
    name,                                                                                       \
        "gst-launch-1.0 -q audiotestsrc num-buffers=200 freq=523 ! "                            \
        "audio/x-raw,rate=48000,channels=2 ! audioconvert ! " chain " ! filesink location=$OUT" \
  }
const Made kToolchains[] = {
    {"lame_gapless.mp3", "lame --quiet $SRC $OUT"},
    {"opusenc_preskip.opus", "opusenc --quiet $SRC $OUT"},
    {"oggenc_granules.ogg", "oggenc -Q -o $OUT $SRC"},
    {"sox.flac", "sox $SRC $OUT"},
    {"sox_vorbis.ogg", "sox $SRC -t vorbis $OUT"},
    {"mkvmerge_flac.mkv", "flac -s -f -o $OUT.flac $SRC && mkvmerge -q -o $OUT $OUT.flac"},
    ZR8_GST("gst_lame.mp3", "lamemp3enc"),
    ZR8_GST("gst_opus.ogg", "opusenc ! oggmux"),
    ZR8_GST("gst_flac.mkv", "flacenc ! matroskamux"),
    ZR8_GST("gst_vorbis.ogg", "vorbisenc ! oggmux"),
    ZR8_GST("gst_opus.mkv", "opusenc ! matroskamux"),
    ZR8_GST("gst_mp3.avi", "lamemp3enc ! avimux"),
};

// Starts that the container or the coding trims: edit lists (an empty edit, a cut inside a
// packet: 576 samples too many when counted from packets; the 2112-sample delay of other AAC
// encoders, on a file the ffmpeg tool wrote with 1024: 64 too many), FLAC in the ffmpeg tool's
// Matroska (1,482 too few, reads shifted), AC-3 beside video in AVI.
const Made kTrimmed[] = {
    {"edit_cut.mp4", "ffmpeg -f lavfi -i testsrc2=size=64x48:rate=25 " ZR8_TONE(
                         48000, 4) " -t 4 -c:v libx264 -preset ultrafast " ZR8_AAC " $OUT.mp4 && "
                                   "ffmpeg -ss 1.1 -i $OUT.mp4 -c copy -f mp4 $OUT"},
    {"edit_delay.mp4", "ffmpeg -i $SRC " ZR8_AAC " $OUT.m4a && "
                       "ffmpeg -itsoffset 0.37 -i $OUT.m4a -c copy -f mp4 $OUT"},
    {"aac_delay2112.m4a",
     "ffmpeg -i $SRC " ZR8_AAC " -f mp4 $OUT && at=$(grep -obUa elst $OUT | head -1 | cut -d: -f1) "
     "&& printf '\\000\\000\\010\\100' | dd of=$OUT bs=1 seek=$((at + 16)) conv=notrunc"},
    {"flac.mkv", "ffmpeg -i $SRC -c:a flac $OUT.mkv && mv $OUT.mkv $OUT"},
    {"ac3_video.avi",
     "ffmpeg -f lavfi -i testsrc2=size=64x48:rate=25 -i $SRC48 -t 4 -c:v mpeg4 "
     "-c:a ac3 -f avi $OUT"},
    // A broadcast capture's layout changes mid-stream (ADTS AAC stereo then mono, and the
    // reverse): the converter is rebuilt and the samples come in the stream's declared layout.
    // Before: a crash in the resampler. A rate change is resampled as a full decode resamples it.
    {"stereo_mono.aac", "ffmpeg -i $SRC -t 4 -ac 2 " ZR8_AAC " -f adts $OUT.st && "
                        "ffmpeg -f lavfi -i sine=f=300:r=44100:d=3 -ac 1 " ZR8_AAC
                        " -f adts $OUT.mo && cat $OUT.st $OUT.mo > $OUT"},
    {"mono_stereo.aac", "ffmpeg -i $SRC -t 4 -ac 2 " ZR8_AAC " -f adts $OUT.st && "
                        "ffmpeg -f lavfi -i sine=f=300:r=44100:d=3 -ac 1 " ZR8_AAC
                        " -f adts $OUT.mo && cat $OUT.mo $OUT.st > $OUT"},
    {"rate_change.aac", "ffmpeg -i $SRC -t 3 " ZR8_AAC " -f adts $OUT.a && "
                        "ffmpeg -f lavfi -i sine=f=300:r=22050:d=2 -ac 2 " ZR8_AAC
                        " -f adts $OUT.b && cat $OUT.a $OUT.b > $OUT"},
};

// A zeroed region in a long AAC stream.
const Made kDamaged[] = {
    {"aac_damaged.aac",
     "ffmpeg " ZR8_TONE(
         48000, 150) " " ZR8_AAC " -b:a 128k -f adts $OUT && "
                     "dd if=/dev/zero of=$OUT bs=65536 seek=20 count=2 conv=notrunc status=none"},
};

class SampleExactnessTest : public testing::TestWithParam<Made> {};
TEST_P(SampleExactnessTest, EqualsAFullDecode) {
  ExpectFullDecode(MakeBy(GetParam().name, GetParam().command));
}
std::string Printable(const testing::TestParamInfo<Made>& info) {
  return media::Printable(info.param.name);
}
INSTANTIATE_TEST_SUITE_P(Codings, SampleExactnessTest, testing::ValuesIn(kCodings), Printable);
INSTANTIATE_TEST_SUITE_P(Toolchains, SampleExactnessTest, testing::ValuesIn(kToolchains),
                         Printable);
INSTANTIATE_TEST_SUITE_P(Trimmed, SampleExactnessTest, testing::ValuesIn(kTrimmed), Printable);
INSTANTIATE_TEST_SUITE_P(Damaged, SampleExactnessTest, testing::ValuesIn(kDamaged), Printable);

// Sounds a desktop sound theme ships (Vorbis in Ogg), where installed.
TEST(ShippedSoundsTest, EqualFullDecodes) {
  const fs::path dir = "/usr/share/sounds/freedesktop/stereo";
  if (!fs::exists(dir / "bell.oga")) GTEST_SKIP() << "no sound theme installed";
  for (const char* name : {"bell.oga", "audio-test-signal.oga", "complete.oga"}) {
    SCOPED_TRACE(name);
    ExpectFullDecode(dir / name);
  }
}

// PCM: a packet's bytes are its samples, and every packet, in order and then from the end
// backwards, is the file's data chunk.
TEST(CompressedSamplesTest, AreThePacketsBytes) {
  const fs::path path = MakeBy(kCodings[4].name, kCodings[4].command);  // 24-bit stereo
  handles::File file = handles::OpenFile(path);
  ASSERT_TRUE(file);
  handles::Audio audio = handles::OpenAudio(file.get(), 0);
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
  const struct {
    const char* clip;
    const char* arguments;
    int stream;
  } cases[] = {
      {"extract.mp3",
       "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2.3 -ac 2 -c:a libmp3lame", 0},
      {"extract_two.mkv",
       "-f lavfi -i sine=frequency=440:duration=1 -f lavfi -i sine=frequency=880:duration=1.2 "
       "-map 0 -map 1 -c:a:0 flac -c:a:1 aac",
       1},
  };
  for (const auto& c : cases) {
    const fs::path clip = media::Make(c.clip, c.arguments);
    harness::ClientRun run;
    run.WithLibrary(harness::Library::kReal);
    fs::copy_file(clip, run.dir() / c.clip);
    std::vector<std::string> arguments{c.clip, "-audio", "-extract"};
    if (c.stream != 0) arguments.insert(arguments.end(), {"-stream", std::to_string(c.stream)});
    const auto result = run.Run(arguments);
    const std::vector<float> reference = media::ReferenceAudio(clip, c.stream);
    const std::string pcm = result.File("zr8reader.pcm");
    ASSERT_EQ(pcm.size(), reference.size() * sizeof(float)) << c.clip;
    EXPECT_EQ(std::memcmp(pcm.data(), reference.data(), pcm.size()), 0) << c.clip;
    std::ostringstream written;
    written << "Written " << reference.size() / (c.stream == 0 ? 2 : 1) << " samples ("
            << pcm.size() << " bytes) to file '" << harness::Prefix() << "zr8reader.pcm'\n";
    EXPECT_NE(result.out.find(written.str()), std::string::npos) << result.out;
  }
}

}  // namespace
