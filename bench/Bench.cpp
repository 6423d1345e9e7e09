// Measures the reader library against the ffmpeg command-line tool on media it makes itself:
// sequential and random frame access on a 1080p H.264 clip, and the extraction of a long audio
// stream. Usage: zr8_bench [work directory] (default: a new directory under /tmp).
#include <Zr8Reader.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kGop = 48;
constexpr int kSequentialFrames = 128;
constexpr int kRandomFrames = 32;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

bool Shell(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

double TimeShell(const std::string& command) {
  const auto start = Clock::now();
  if (!Shell(command)) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
  return Seconds(start);
}

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

long PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

template <int32_t (*Delete)(void*)>
struct Deleter {
  void operator()(void* handle) const { Delete(handle); }
};
using File = std::unique_ptr<void, Deleter<ZR8READER_DeleteReadFileHandle>>;
using Video = std::unique_ptr<void, Deleter<ZR8READER_DeleteReadVideoStreamHandle>>;
using Audio = std::unique_ptr<void, Deleter<ZR8READER_DeleteReadAudioStreamHandle>>;

File OpenFile(const std::string& path) {
  void* file = nullptr;
  if (ZR8READER_OpenReadFile(&file, Wide(path).c_str(), 3) < 0) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    std::exit(1);
  }
  return File(file);
}

Video OpenVideo(void* file) {
  Zr8DecodePrefs prefs{};
  prefs.pixelType = 0x2000;  // I420
  void* video = nullptr;
  if (ZR8READER_ReadFile_OpenVideoStream(file, 0, &prefs, nullptr, &video) < 0) std::exit(1);
  return Video(video);
}

// Fetches a frame and reads every byte of it, as a caller copying it out would.
uint64_t Fetch(void* video, int64_t n) {
  void* image = nullptr;
  if (ZR8READER_ReadVideoStream_GetFrame(video, n, &image) < 0) {
    std::fprintf(stderr, "frame %lld failed\n", static_cast<long long>(n));
    std::exit(1);
  }
  const auto* bytes = static_cast<const uint8_t*>(ZR8READER_Image_LockForCPU(image, 1));
  const uint32_t size = ZR8READER_Image_TotalSize(image);
  uint64_t sum = 0;
  for (uint32_t i = 0; i < size; i += 4096) sum += bytes[i];
  ZR8READER_Image_Unlock(image);
  ZR8READER_DeleteImageHandle(image);
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "zr8bench";
  fs::create_directories(dir);
  const std::string video = (dir / "bench_1080p.mp4").string();
  const std::string audio = (dir / "bench_audio.m4a").string();
  const std::string quiet = "ffmpeg -nostdin -hide_banner -loglevel error -y ";
  if (!fs::exists(video)) {
    std::printf("making %s ...\n", video.c_str());
    TimeShell(quiet + "-f lavfi -i testsrc2=size=1920x1080:rate=25 -t 8 -c:v libx264 " +
              "-preset veryfast -bf 3 -x264-params keyint=" + std::to_string(kGop) +
              ":min-keyint=" + std::to_string(kGop) + ":scenecut=0 -pix_fmt yuv420p " + video);
  }
  if (!fs::exists(audio)) {
    std::printf("making %s ...\n", audio.c_str());
    TimeShell(quiet +
              "-f lavfi -i 'aevalsrc=sin(440*2*PI*t)*0.4|sin(554*2*PI*t)*0.4:s=48000:d=600' "
              "-c:a aac -b:a 128k " +
              audio);
  }
  const unsigned cores = std::thread::hardware_concurrency();
  std::printf("cores: %u (library and ffmpeg tool both at their automatic thread count)\n", cores);
  ZR8READER_Initialize();

  // Sequential: open, index, 128 frames to I420.
  auto start = Clock::now();
  File file = OpenFile(video);
  Video stream = OpenVideo(file.get());
  const double openSeconds = Seconds(start);
  uint64_t checksum = 0;
  for (int n = 0; n < kSequentialFrames; ++n) checksum += Fetch(stream.get(), n);
  const double sequential = Seconds(start);
  const long peak = PeakMegabytes();
  const double tool =
      TimeShell(quiet + "-i " + video + " -frames:v " + std::to_string(kSequentialFrames) +
                " -f rawvideo -pix_fmt yuv420p /dev/null");
  const double perFrame = (sequential - openSeconds) / kSequentialFrames;
  std::printf(
      "sequential %d frames 1080p to I420: library %.3f s (open and index %.3f s), "
      "ffmpeg tool %.3f s, speed ratio %.2f\n",
      kSequentialFrames, sequential, openSeconds, tool, tool / sequential);
  std::printf("peak memory after %d decoded 1080p frames: %ld MB\n", kSequentialFrames, peak);

  // Random: 32 frames at positions of the client's generator, each from a fresh position.
  const int64_t count = ZR8READER_ReadVideoStream_GetFrameCount(stream.get());
  uint32_t state = 1;
  auto next = [&state] {
    state = state * 214013u + 2531011u;
    return static_cast<int>((state >> 16) & 0x7FFF);
  };
  double keyframeCost = 0;
  start = Clock::now();
  for (int i = 0; i < kRandomFrames; ++i) {
    const int64_t n = next() % count;
    keyframeCost += perFrame * static_cast<double>(n % kGop + 1);
    checksum += Fetch(stream.get(), n);
  }
  const double random = Seconds(start);
  std::printf(
      "random %d frames: library %.3f s (%.1f ms per frame); decoding each from its "
      "key frame at the sequential rate: %.3f s; ratio %.2f\n",
      kRandomFrames, random, 1000 * random / kRandomFrames, keyframeCost, keyframeCost / random);
  stream.reset();
  file.reset();

  // Audio: the whole stream in blocks of 4096, as the client extracts it.
  start = Clock::now();
  File audioFile = OpenFile(audio);
  void* raw = nullptr;
  if (ZR8READER_ReadFile_OpenAudioStream(audioFile.get(), 0, &raw) < 0) return 1;
  Audio audioStream(raw);
  const int64_t samples = ZR8READER_ReadAudioStream_GetSampleCount(audioStream.get());
  Zr8AudioCompressedFormat format{};
  ZR8READER_ReadAudioStream_GetCompressedFormat(audioStream.get(), &format);
  std::vector<float> buffer(4096 * static_cast<size_t>(format.channels));
  int64_t done = 0;
  while (done < samples) {
    int64_t read = 0;
    if (ZR8READER_ReadAudioStream_GetSamples(audioStream.get(), done, buffer.data(), 4096, &read) <
            0 ||
        read <= 0) {
      return 1;
    }
    checksum += static_cast<uint64_t>(buffer[0] * 1000);
    done += read;
  }
  const double audioSeconds = Seconds(start);
  const double audioTool =
      TimeShell(quiet + "-i " + audio + " -map 0:a:0 -f f32le -c:a pcm_f32le /dev/null");
  std::printf(
      "audio %lld sample frames (%.0f s of AAC) to f32: library %.3f s, ffmpeg tool "
      "%.3f s, speed ratio %.2f\n",
      static_cast<long long>(samples), samples / format.sampleRate, audioSeconds, audioTool,
      audioTool / audioSeconds);
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(checksum));
  ZR8READER_Uninitialize();
  return 0;
}
