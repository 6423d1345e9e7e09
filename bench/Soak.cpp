// Soak run of the reader library (not a test: run it by hand): opens and closes files 10,000 times,
// decodes 100,000 frames across streams, and runs 16 read threads on 16 files at once, sampling the
// resident set (VmRSS) to bound its growth. Usage: zr8_soak [work directory] [scale percent]
// (default: a new directory under /tmp, 100). Exits 1 on any failed call.
#include <Zr8Reader.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFiles = 16;

std::atomic<long> gErrors{0};

void Check(bool ok, const char* what) {
  if (!ok && gErrors++ < 10) std::fprintf(stderr, "failed: %s\n", what);
}

long RssKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Sixteen small clips: four codings, with and without an audio stream.
std::vector<std::wstring> MakeMedia(const fs::path& dir) {
  const char* codings[] = {"-c:v libx264 -g 12 -bf 2", "-c:v mpeg2video -g 12 -bf 2",
                           "-c:v libvpx-vp9 -g 12 -deadline realtime", "-c:v mjpeg"};
  const char* containers[] = {"mp4", "ts", "webm", "mkv"};
  std::vector<std::wstring> files;
  for (int i = 0; i < kFiles; ++i) {
    const fs::path file = dir / ("soak" + std::to_string(i) + "." + containers[i % 4]);
    if (!fs::exists(file)) {
      std::string audio = i % 2 == 0 ? "" : " -f lavfi -i sine=sample_rate=16000:duration=5";
      std::string command =
          "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=96x64:rate=25:duration=5" +
          audio + " " + codings[i % 4] +
          (i % 2 == 0 ? "" : (i % 4 == 2 ? " -c:a libopus" : " -c:a mp2")) + " '" + file.string() +
          "'";
      if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "ffmpeg failed: %s\n", command.c_str());
        std::exit(1);
      }
    }
    const std::string name = file.string();
    files.emplace_back(name.begin(), name.end());
  }
  return files;
}

// Opens the file and its video stream, asks for frame 0 when `decode`, releases everything.
void OpenClose(const std::wstring& path, bool decode) {
  void* file = nullptr;
  Check(ZR8READER_OpenReadFile(&file, path.c_str(), 0) == ZR8_S_OK, "OpenReadFile");
  if (file == nullptr) return;
  void* video = nullptr;
  Check(ZR8READER_ReadFile_OpenVideoStream(file, 0, nullptr, nullptr, &video) == ZR8_S_OK,
        "OpenVideoStream");
  if (video != nullptr && decode) {
    void* image = nullptr;
    Check(ZR8READER_ReadVideoStream_GetFrame(video, 0, &image) == ZR8_S_OK, "GetFrame");
    if (image != nullptr) ZR8READER_DeleteImageHandle(image);
  }
  if (video != nullptr) ZR8READER_DeleteReadVideoStreamHandle(video);
  ZR8READER_ReadFile_CloseFile(file);
  ZR8READER_DeleteReadFileHandle(file);
}

// Decodes up to `frames` frames of the file (in order, then a few at random); returns the count.
long DecodeFile(const std::wstring& path, long frames, unsigned seed) {
  void* file = nullptr;
  Check(ZR8READER_OpenReadFile(&file, path.c_str(), 0) == ZR8_S_OK, "OpenReadFile");
  if (file == nullptr) return 0;
  void* video = nullptr;
  Check(ZR8READER_ReadFile_OpenVideoStream(file, 0, nullptr, nullptr, &video) == ZR8_S_OK,
        "OpenVideoStream");
  long done = 0;
  if (video != nullptr) {
    const int64_t count = ZR8READER_ReadVideoStream_GetFrameCount(video);
    for (int64_t i = 0; done < frames && count > 0; ++i, ++done) {
      // Every frame in order, then frames at random.
      const int64_t n = i < count ? i : (seed = seed * 1103515245u + 12345u) % count;
      void* image = nullptr;
      Check(ZR8READER_ReadVideoStream_GetFrame(video, n, &image) == ZR8_S_OK, "GetFrame");
      if (image != nullptr) ZR8READER_DeleteImageHandle(image);
    }
    ZR8READER_DeleteReadVideoStreamHandle(video);
  }
  if (ZR8READER_ReadFile_GetAudioStreamCount(file) > 0) {
    void* audio = nullptr;
    Check(ZR8READER_ReadFile_OpenAudioStream(file, 0, &audio) == ZR8_S_OK, "OpenAudioStream");
    if (audio != nullptr) {
      std::vector<float> buffer(4096 * 8);
      int64_t read = 0;
      const int64_t samples = ZR8READER_ReadAudioStream_GetSampleCount(audio);
      for (int64_t at = 0; at < samples; at += read) {
        Check(ZR8READER_ReadAudioStream_GetSamples(audio, at, buffer.data(), 4096, &read) >= 0,
              "GetSamples");
        if (read <= 0) break;
      }
      ZR8READER_DeleteReadAudioStreamHandle(audio);
    }
  }
  ZR8READER_DeleteReadFileHandle(file);
  return done;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "zr8soak";
  const long scale = argc > 2 ? std::atol(argv[2]) : 100;
  fs::create_directories(dir);
  const std::vector<std::wstring> files = MakeMedia(dir);
  ZR8READER_Initialize();

  // 1. Open and close; the growth is measured after the first tenth (pools and caches warm).
  const long opens = 10000 * scale / 100;
  auto start = Clock::now();
  long warm = 0;
  for (long i = 0; i < opens; ++i) {
    if (i == opens / 10) warm = RssKilobytes();
    OpenClose(files[i % kFiles], i % 4 == 0);
  }
  const long afterOpens = RssKilobytes();
  std::printf(
      "open/close: %ld times in %.1f s; VmRSS %ld kB after %ld, %ld kB at the end (%+ld kB)\n",
      opens, Seconds(start), warm, opens / 10, afterOpens, afterOpens - warm);

  // 2. Decode frames across the files, one stream at a time.
  const long target = 100000 * scale / 100;
  start = Clock::now();
  long frames = 0;
  long warmFrames = -1;
  for (unsigned round = 0; frames < target; ++round) {
    if (warmFrames < 0 && frames >= target / 10) {
      warmFrames = frames;
      warm = RssKilobytes();
    }
    frames += DecodeFile(files[round % kFiles], std::min(target - frames, 200L), round);
  }
  const long afterFrames = RssKilobytes();
  std::printf("decode: %ld frames in %.1f s; VmRSS %ld kB after %ld, %ld kB at the end (%+ld kB)\n",
              frames, Seconds(start), warm, warmFrames, afterFrames, afterFrames - warm);

  // 3. Sixteen read threads, one file each, at once.
  start = Clock::now();
  std::atomic<long> threadFrames{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kFiles; ++i) {
    threads.emplace_back([&, i] { threadFrames += DecodeFile(files[i], 250, i); });
  }
  for (std::thread& thread : threads) thread.join();
  std::printf("16 threads: %ld frames in %.1f s; VmRSS %ld kB\n", threadFrames.load(),
              Seconds(start), RssKilobytes());

  ZR8READER_Uninitialize();
  std::printf("errors: %ld\n", gErrors.load());
  return gErrors == 0 ? 0 : 1;
}
