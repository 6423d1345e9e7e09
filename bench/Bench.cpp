// Measures the reader library against the tools people use today (the ffmpeg command-line tool,
// PyAV, OpenCV's VideoCapture) on media it makes itself, and prints a table of medians.
//
// Usage: zr8_bench [work directory] [--runs N] [--only seq,dual,rand,multi,open,audio,streams,long]
// (default /tmp/zr8bench, 3 runs, every test but long). The peers run under Debian's
// /usr/bin/python3 (packages python3-av and python3-opencv); long also runs Debian's ffmsindex.
// long: four half-hour files, each measure of the library in a child process of its own (3-4
// minutes a run on 2 cores once the media is made).
// Every run measures each case for the library and its peers one after the other, so that the
// load of the machine falls on both alike; the table holds the medians of the runs.
// scripts/bench.sh installs the peers and runs it.
#include <Zr8Reader.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSequentialFrames = 128;
constexpr int kDualFrames = 64;
constexpr int kRandomFrames = 32;
constexpr int kMultiFrames = 32;
constexpr double kRate = 25.0;     // frame rate of every clip made here
constexpr int kManyStreams = 300;  // audio streams of the many-stream file
const std::string kQuiet = "ffmpeg -nostdin -hide_banner -loglevel error -y ";

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "zr8_bench: %s\n", what.c_str());
  std::exit(1);
}

// Runs a shell command and returns its standard output; fails the benchmark when it fails.
std::string Capture(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) Fail("cannot run " + command);
  std::string output;
  char buffer[4096];
  size_t read = 0;
  while ((read = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) output.append(buffer, read);
  const int status = pclose(pipe.release());
  if (status != 0) Fail("failed: " + command);
  return output;
}

double TimeShell(const std::string& command) {
  const auto start = Clock::now();
  Capture(command);
  return Seconds(start);
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
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
  if (ZR8READER_OpenReadFile(&file, Wide(path).c_str(), 3) < 0) Fail("cannot open " + path);
  return File(file);
}

// threads: the stream's decoder thread limit (0: the library's choice).
Video OpenVideo(void* file, uint32_t threads) {
  Zr8DecodePrefs prefs{};
  prefs.pixelType = ZR8_PIXEL_I420;
  prefs.decoderThreads = threads;
  void* video = nullptr;
  if (ZR8READER_ReadFile_OpenVideoStream(file, 0, &prefs, nullptr, &video) < 0) {
    Fail("cannot open the video stream");
  }
  return Video(video);
}

// Fetches a frame and reads every page of it, as a caller copying it out would.
uint64_t Fetch(void* video, int64_t n) {
  void* image = nullptr;
  if (ZR8READER_ReadVideoStream_GetFrame(video, n, &image) < 0) {
    Fail("frame " + std::to_string(n) + " failed");
  }
  const auto* bytes = static_cast<const uint8_t*>(ZR8READER_Image_LockForCPU(image, 1));
  const uint32_t size = ZR8READER_Image_TotalSize(image);
  uint64_t sum = 0;
  for (uint32_t i = 0; i < size; i += 4096) sum += bytes[i];
  ZR8READER_Image_Unlock(image);
  ZR8READER_DeleteImageHandle(image);
  return sum;
}

std::atomic<uint64_t> checksum{0};

// The frames a read thread other than the first asks for: the C library's generator of the
// client's platform, from its first seed.
std::vector<int64_t> RandomFrames(int64_t count) {
  uint32_t state = 1;
  std::vector<int64_t> frames;
  for (int i = 0; i < kRandomFrames; ++i) {
    state = state * 214013u + 2531011u;
    frames.push_back(static_cast<int64_t>((state >> 16) & 0x7FFF) % count);
  }
  return frames;
}

// ---- Library cases -----------------------------------------------------------------------------

double LibrarySequential(const std::string& path, uint32_t threads) {
  const auto start = Clock::now();
  File file = OpenFile(path);
  Video video = OpenVideo(file.get(), threads);
  for (int n = 0; n < kSequentialFrames; ++n) checksum += Fetch(video.get(), n);
  return Seconds(start);
}

double LibraryDual(const std::string& path, uint32_t threads) {
  const auto start = Clock::now();
  File file = OpenFile(path);
  Video video = OpenVideo(file.get(), threads);
  const int64_t middle = ZR8READER_ReadVideoStream_GetFrameCount(video.get()) / 2;
  for (int n = 0; n < kDualFrames / 2; ++n) {
    checksum += Fetch(video.get(), n);
    checksum += Fetch(video.get(), middle + n);
  }
  return Seconds(start);
}

// The seconds to fetch the frames in turn from an opened stream.
double FetchFrames(void* video, const std::vector<int64_t>& frames) {
  const auto start = Clock::now();
  for (int64_t n : frames) checksum += Fetch(video, n);
  return Seconds(start);
}

double LibraryRandom(const std::string& path, const std::vector<int64_t>& frames) {
  File file = OpenFile(path);
  Video video = OpenVideo(file.get(), 0);
  return FetchFrames(video.get(), frames);
}

double LibraryOpen(const std::string& path) {
  const auto start = Clock::now();
  File file = OpenFile(path);
  Video video = OpenVideo(file.get(), 0);
  return Seconds(start);
}

// The file's first audio stream.
Audio OpenAudio(void* file) {
  void* raw = nullptr;
  if (ZR8READER_ReadFile_OpenAudioStream(file, 0, &raw) < 0) Fail("audio stream");
  return Audio(raw);
}

// A block of 4,096 sample frames of the stream.
std::vector<float> AudioBlock(void* audio) {
  Zr8AudioCompressedFormat format{};
  ZR8READER_ReadAudioStream_GetCompressedFormat(audio, &format);
  return std::vector<float>(4096 * static_cast<size_t>(format.channels));
}

double LibraryAudio(const std::string& path) {
  const auto start = Clock::now();
  File file = OpenFile(path);
  Audio audio = OpenAudio(file.get());
  const int64_t samples = ZR8READER_ReadAudioStream_GetSampleCount(audio.get());
  std::vector<float> buffer = AudioBlock(audio.get());
  int64_t done = 0;
  while (done < samples) {
    int64_t read = 0;
    if (ZR8READER_ReadAudioStream_GetSamples(audio.get(), done, buffer.data(), 4096, &read) < 0 ||
        read <= 0) {
      Fail("audio samples");
    }
    checksum += static_cast<uint64_t>(buffer[0] * 1000);
    done += read;
  }
  return Seconds(start);
}

// Opens audio streams 0 and then `last` of one file handle: the seconds of each open (the file's
// open excluded). The first takes over the file's probed reader, the second opens its own.
std::pair<double, double> LibraryStreamOpens(const std::string& path, int last) {
  File file = OpenFile(path);
  double seconds[2] = {};
  std::vector<Audio> streams;
  for (int i = 0; i < 2; ++i) {
    const auto start = Clock::now();
    void* raw = nullptr;
    if (ZR8READER_ReadFile_OpenAudioStream(file.get(), i == 0 ? 0 : last, &raw) < 0) {
      Fail("audio stream");
    }
    streams.emplace_back(raw);
    seconds[i] = Seconds(start);
  }
  return {seconds[0], seconds[1]};
}

// One full sequential read of an opened audio stream, then 32 reads of 4,096 samples at random
// starts (the same for every run): the seconds of each, the open excluded.
std::pair<double, double> LibraryAudioRandom(const std::string& path) {
  File file = OpenFile(path);
  Audio audio = OpenAudio(file.get());
  const int64_t samples = ZR8READER_ReadAudioStream_GetSampleCount(audio.get());
  std::vector<float> buffer = AudioBlock(audio.get());
  auto read = [&](int64_t start) {
    int64_t count = 0;
    if (ZR8READER_ReadAudioStream_GetSamples(audio.get(), start, buffer.data(), 4096, &count) < 0 ||
        count <= 0) {
      Fail("audio samples");
    }
    checksum += static_cast<uint64_t>(buffer[0] * 1000);
    return count;
  };
  auto start = Clock::now();
  for (int64_t done = 0; done < samples;) done += read(done);
  const double sequential = Seconds(start);
  std::mt19937_64 random(11);
  start = Clock::now();
  for (int i = 0; i < 32; ++i) read(static_cast<int64_t>(random() % (samples - 4096)));
  return {sequential, Seconds(start)};
}

// Several files at once, in a process of its own (so that its peak memory is its own):
// `zr8_bench --multi <decoder thread limit> files...`; prints wall seconds, CPU seconds, peak
// resident MB and the most threads the library ran at once (the process's threads, from
// /proc/self/task, beyond the read threads, this one and the monitor).
int MultiChild(uint32_t limit, const std::vector<std::string>& paths) {
  ZR8READER_Initialize();
  auto threadCount = [] {
    std::error_code error;
    return static_cast<int>(
        std::distance(fs::directory_iterator("/proc/self/task", error), fs::directory_iterator()));
  };
  std::atomic<bool> running{true};
  std::atomic<int> most{0};
  std::thread monitor([&] {
    while (running) {
      most = std::max(most.load(), threadCount());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const int baseline = threadCount();  // this thread and the monitor
  const double cpuStart = CpuSeconds();
  const auto start = Clock::now();
  std::vector<std::thread> readers;
  for (const auto& path : paths) {
    readers.emplace_back([path, limit] {
      File file = OpenFile(path);
      Video video = OpenVideo(file.get(), limit);
      for (int n = 0; n < kMultiFrames; ++n) checksum += Fetch(video.get(), n);
    });
  }
  for (auto& reader : readers) reader.join();
  const double wall = Seconds(start);
  const double cpu = CpuSeconds() - cpuStart;
  running = false;
  monitor.join();
  const int libraryThreads = most - baseline - static_cast<int>(paths.size());
  std::printf("%.6f %.6f %ld %d\n", wall, cpu, PeakMegabytes(), std::max(libraryThreads, 0));
  ZR8READER_Uninitialize();
  return 0;
}

// One measure of a long file, in a process of its own (so that its peak memory and what the
// library caches in memory are its own): `zr8_bench --long <what> <file>`, with the index cache
// wherever the parent's environment points it. Prints the seconds measured, then the peak
// resident MB. what: video (OpenReadFile + OpenVideoStream, then the stream's open alone), audio
// (OpenReadFile + OpenAudioStream, then the stream's open alone), frames (32 random frames, the
// open excluded), samples (one full sequential read of the audio, then 32 random reads of 4,096
// samples, the open excluded).
int LongChild(const std::string& what, const std::string& path) {
  ZR8READER_Initialize();
  std::vector<double> seconds;
  if (what == "video" || what == "audio") {
    const auto start = Clock::now();
    File file = OpenFile(path);
    const double fileOpen = Seconds(start);
    Video video = what == "video" ? OpenVideo(file.get(), 0) : Video();
    Audio audio = what == "audio" ? OpenAudio(file.get()) : Audio();
    seconds.push_back(Seconds(start));
    seconds.push_back(seconds.back() - fileOpen);
  } else if (what == "frames") {
    File file = OpenFile(path);
    Video video = OpenVideo(file.get(), 0);
    const int64_t count = ZR8READER_ReadVideoStream_GetFrameCount(video.get());
    if (count <= 0) Fail("no frames in " + path);
    seconds.push_back(FetchFrames(video.get(), RandomFrames(count)));
  } else if (what == "samples") {
    const auto [sequential, random] = LibraryAudioRandom(path);
    seconds.push_back(sequential);
    seconds.push_back(random);
  } else {
    Fail("--long: unknown measure " + what);
  }
  for (double value : seconds) std::printf("%.6f ", value);
  std::printf("%ld\n", PeakMegabytes());
  ZR8READER_Uninitialize();
  return 0;
}

// ---- Peers -------------------------------------------------------------------------------------

const char kPeerScript[] = R"PY(
import os, sys, time
mode, path, frames = sys.argv[1], sys.argv[2], [int(x) for x in sys.argv[3].split(',')]
if mode == 'pyav-seq':
    # Frames 0..count-1 in order with frame threads, opening included, as the library's row.
    import av
    start = time.perf_counter()
    container = av.open(path)
    stream = container.streams.video[0]
    stream.thread_type = 'AUTO'
    checksum = 0
    done = 0
    for frame in container.decode(stream):
        if frame.format.name != 'yuv420p':
            frame = frame.reformat(format='yuv420p')
        checksum += int(frame.to_ndarray()[0, 0])
        done += 1
        if done == frames[0]:
            break
    print(time.perf_counter() - start)
    sys.stdout.flush()
    os._exit(0 if done == frames[0] else 1)
elif mode.startswith('pyav'):
    import av
    container = av.open(path)
    stream = container.streams.video[0]
    if mode == 'pyav-frame':
        stream.thread_type = 'AUTO'  # frame and slice threads (PyAV's default is slice threads)
    # The presentation time of every frame (a packet pass, not timed, as the library's index).
    times = sorted(p.pts for p in container.demux(stream) if p.size > 0 and p.pts is not None)
    checksum = 0
    start = time.perf_counter()
    for n in frames:
        target = times[n]
        back = 0
        found = None
        while found is None:
            # The key frame at or before the frame's time, then forward to the exact frame; a key
            # frame that is shown after the target sends the seek further back.
            container.seek(max(target - back, times[0]), stream=stream, backward=True)
            for frame in container.decode(stream):
                if frame.pts is None or frame.pts > target:
                    break
                if frame.pts == target:
                    found = frame
                    break
            back = back * 2 + int(1 / stream.time_base)
        if found.format.name != 'yuv420p':
            found = found.reformat(format='yuv420p')
        checksum += int(found.to_ndarray()[0, 0])
    print(time.perf_counter() - start)
    # Leave at once: a decoder left in the middle of its frame threads can hang the interpreter's
    # clean-up.
    sys.stdout.flush()
    os._exit(0)
else:
    import cv2
    capture = cv2.VideoCapture(path)
    checksum = 0
    start = time.perf_counter()
    for n in frames:
        capture.set(cv2.CAP_PROP_POS_FRAMES, n)
        ok, image = capture.read()
        if not ok:
            sys.exit(1)
        checksum += int(image[0, 0, 0])
    print(time.perf_counter() - start)
)PY";

double Peer(const fs::path& script, const std::string& mode, const std::string& path,
            const std::vector<int64_t>& frames) {
  std::string list;
  for (int64_t n : frames) {
    if (!list.empty()) list += ',';
    list += std::to_string(n);
  }
  return std::stod(
      Capture("/usr/bin/python3 " + script.string() + " " + mode + " " + path + " " + list));
}

std::string ThreadOption(int threads) {
  return threads > 0 ? "-threads " + std::to_string(threads) + " " : "";
}

double ToolSequential(const std::string& path, int threads) {
  return TimeShell(kQuiet + ThreadOption(threads) + "-i " + path + " -frames:v " +
                   std::to_string(kSequentialFrames) + " -f rawvideo -pix_fmt yuv420p /dev/null");
}

// The same two runs of frames: one input from the start, one from the middle frame's time.
double ToolDual(const std::string& path, int threads, int64_t count) {
  const double middle = static_cast<double>(count / 2) / kRate;
  const std::string frames = " -frames:v " + std::to_string(kDualFrames / 2);
  return TimeShell(kQuiet + ThreadOption(threads) + "-i " + path + " " + ThreadOption(threads) +
                   "-ss " + std::to_string(middle) + " -i " + path + " -map 0:v" + frames +
                   " -f rawvideo -pix_fmt yuv420p /dev/null -map 1:v" + frames +
                   " -f rawvideo -pix_fmt yuv420p /dev/null");
}

double ToolCount(const std::string& path) {
  return TimeShell(
      "ffprobe -v error -count_packets -select_streams v:0 -show_entries "
      "stream=nb_read_packets -of csv=p=0 " +
      path);
}

// A full decode of the video stream, as the tool does it with its default threads.
double ToolDecode(const std::string& path) {
  return TimeShell(kQuiet + "-i " + path + " -map 0:v:0 -f null /dev/null");
}

double ToolAudio(const std::string& path, int number = 0) {
  return TimeShell(kQuiet + "-i " + path + " -map 0:a:" + std::to_string(number) +
                   " -f f32le -c:a pcm_f32le /dev/null");
}

// The client's extraction of a file's first audio stream into `work` (which holds a link to the
// library, as the client loads it from there), against the ffmpeg tool's writing the same samples
// to a file there. Each output is removed first, so that neither pays for truncating the last one.
// `cache` empty: no index cache (a first open); else the cache folder, filled beforehand by a
// report of the stream.
double ClientExtract(const fs::path& client, const fs::path& work, const std::string& path,
                     const std::string& cache) {
  const std::string in = "cd " + work.string() + " && rm -f zr8reader.pcm && ";
  const std::string environment =
      cache.empty() ? "ZR8READER_NO_CACHE=1 " : "XDG_CACHE_HOME=" + cache + " ";
  // The client ends with a status of its own: what it prints tells that it did the work (the
  // report's count; the line that every sample was written).
  if (!cache.empty()) {
    Capture(in + environment + client.string() + " " + path +
            " -audio | grep -q '^Sample count: '");
  }
  return TimeShell(in + environment + client.string() + " " + path +
                   " -audio -extract | grep -q '^Written '");
}

double ToolExtract(const fs::path& work, const std::string& path) {
  return TimeShell("cd " + work.string() + " && rm -f tool.raw && " + kQuiet + "-i " + path +
                   " -map 0:a:0 -f f32le tool.raw");
}

// A full decode of the streams the tool picks by default (the video and the first audio stream).
double ToolDecodeAll(const std::string& path) {
  return TimeShell(kQuiet + "-i " + path + " -f null -");
}

// ffms2's indexing of the file: audioMask 0 indexes the video alone, -1 decodes every audio
// stream too (its sample counts).
double Ffmsindex(const std::string& path, const fs::path& index, int audioMask) {
  return TimeShell("ffmsindex -f -p -t " + std::to_string(audioMask) + " " + path + " " +
                   index.string());
}

// Runs one `zr8_bench --long` measure in a child process whose index cache is the folder `cache`
// (emptied first when `empty`): the numbers it prints, its peak resident MB last.
std::vector<double> LongMeasure(const std::string& self, const std::string& what,
                                const fs::path& file, const fs::path& cache, bool empty) {
  if (empty) fs::remove_all(cache);
  fs::create_directories(cache);
  std::istringstream result(Capture("env -u ZR8READER_NO_CACHE XDG_CACHE_HOME=" + cache.string() +
                                    " " + self + " --long " + what + " " + file.string()));
  std::vector<double> values;
  for (double value = 0; result >> value;) values.push_back(value);
  if (values.size() < 2) Fail("--long " + what + " " + file.string() + " printed too little");
  return values;
}

// ---- Media -------------------------------------------------------------------------------------

void Make(const fs::path& file, const std::string& arguments) {
  if (fs::exists(file)) return;
  std::printf("making %s ...", file.c_str());
  std::fflush(stdout);
  const auto start = Clock::now();
  const fs::path partial = file.parent_path() / ("partial." + file.filename().string());
  Capture(kQuiet + arguments + " " + partial.string());
  fs::rename(partial, file);
  std::printf(" %.1f s\n", Seconds(start));
  std::fflush(stdout);
}

// Ten-minute stereo files of pink noise (each channel its own) under a tone, one for each coding
// whose random reads decode a pre-roll: {what it is, the file}. The AAC encoder substitutes noise
// for some bands of such a source unless told not to.
std::vector<std::pair<std::string, fs::path>> MakeAudioCodings(const fs::path& dir) {
  const fs::path source = dir / "codings-source.wav";
  Make(
      source,
      "-f lavfi -i anoisesrc=d=600:c=pink:r=48000:a=0.4:seed=1 -f lavfi -i "
      "anoisesrc=d=600:c=pink:r=48000:a=0.4:seed=2 -f lavfi -i sine=f=440:d=600:r=48000 "
      "-filter_complex '[0][1]amerge=inputs=2[n];[2]pan=stereo|c0=c0|c1=c0[t];[n][t]amix=inputs=2' "
      "-c:a pcm_s16le");
  const std::vector<std::tuple<std::string, std::string, std::string>> codings = {
      {"AAC", "aac", "-c:a aac -aac_pns 0 -b:a 128k"},
      {"AAC, noise substitution", "m4a", "-c:a aac -aac_pns 1 -b:a 128k"},
      {"AC-3", "ac3", "-c:a ac3"},
      {"E-AC-3", "eac3", "-c:a eac3"},
      {"Opus", "opus", "-c:a libopus -b:a 96k"},
      {"MPEG layer II", "mp2", "-c:a mp2"},
      {"MP3", "mp3", "-c:a libmp3lame -b:a 160k"},
      {"Vorbis", "ogg", "-c:a libvorbis"},
      {"FLAC", "flac", "-c:a flac"}};
  std::vector<std::pair<std::string, fs::path>> files;
  for (const auto& [name, extension, arguments] : codings) {
    const fs::path file = dir / ("coding-" + std::to_string(files.size()) + "." + extension);
    Make(file, "-i " + source.string() + " " + arguments);
    files.emplace_back(name, file);
  }
  return files;
}

std::string X264(int gop, int bFrames) {
  return "-c:v libx264 -preset veryfast -bf " + std::to_string(bFrames) +
         " -x264-params keyint=" + std::to_string(gop) + ":min-keyint=" + std::to_string(gop) +
         ":scenecut=0 -pix_fmt yuv420p";
}

// ---- Table -------------------------------------------------------------------------------------

struct Row {
  std::string test, media, measure, library, peer, peerValue, ratio, target;
};

std::string Format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--multi") == 0) {
    if (argc < 3) Fail("--multi needs a thread limit and files");
    return MultiChild(static_cast<uint32_t>(std::atoi(argv[2])),
                      std::vector<std::string>(argv + 3, argv + argc));
  }
  if (argc > 1 && std::strcmp(argv[1], "--long") == 0) {
    if (argc != 4) Fail("--long needs a measure and a file");
    return LongChild(argv[2], argv[3]);
  }
  // Every open measured here builds its index as a first open does; the long files' children
  // measure the index cache on their own.
  setenv("ZR8READER_NO_CACHE", "1", 1);
  fs::path dir = "/tmp/zr8bench";
  int runs = 3;
  std::string only = "seq,dual,rand,multi,open,audio,extract,streams";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else {
      dir = argv[i];
    }
  }
  fs::create_directories(dir);
  const std::string self = fs::canonical("/proc/self/exe").string();
  const fs::path script = dir / "bench_peers.py";
  std::ofstream(script) << kPeerScript;

  auto wanted = [&only](const std::string& test) {
    return ("," + only + ",").find("," + test + ",") != std::string::npos;
  };
  // A run of the audio tests alone makes and opens no video.
  const bool video =
      wanted("seq") || wanted("dual") || wanted("rand") || wanted("multi") || wanted("open");

  // Media: 1080p clips of 12 s (8 s for HEVC), 10-minute files for opening and audio.
  const std::string source = "-f lavfi -i testsrc2=size=1920x1080:rate=25 ";
  const fs::path gop50 = dir / "h264_gop50.mp4";
  const fs::path gop250 = dir / "h264_gop250_bf.mp4";
  const fs::path hevc = dir / "hevc10.mp4";
  const fs::path longMp4 = dir / "long.mp4";
  const fs::path longMkv = dir / "long.mkv";
  const fs::path longTs = dir / "long.ts";
  const fs::path longRaw = dir / "long.h264";
  if (video) {
    Make(gop50, source + "-t 12 " + X264(50, 0));
    Make(gop250, source + "-t 12 " + X264(250, 3));
    Make(hevc, source +
                   "-t 8 -c:v libx265 -preset ultrafast -x265-params "
                   "keyint=50:min-keyint=50:scenecut=0:log-level=error -pix_fmt yuv420p10le");
    Make(longMp4,
         "-f lavfi -i testsrc2=size=320x240:rate=25 -t 600 -c:v libx264 -preset ultrafast "
         "-x264-params keyint=50 -b:v 100k");
    Make(longMkv, "-i " + longMp4.string() + " -c copy");
    Make(longTs, "-i " + longMp4.string() + " -c copy");
    // A raw stream has no times: its frame order comes from its headers when it opens.
    Make(longRaw, "-i " + longMp4.string() + " -c copy -bsf:v h264_mp4toannexb");
  }
  const fs::path audio = dir / "audio.m4a";
  const fs::path plainAudio = dir / "audio-plain.m4a";
  if (wanted("audio")) {
    Make(audio,
         "-f lavfi -i 'aevalsrc=sin(440*2*PI*t)*0.4|sin(554*2*PI*t)*0.4:s=48000:d=600' -c:a aac "
         "-b:a 128k");
    // The same without noise substitution, as most other encoders write AAC: random reads start a
    // few packets before their place instead of at the start of the stream.
    Make(plainAudio,
         "-f lavfi -i 'aevalsrc=sin(440*2*PI*t)*0.4|sin(554*2*PI*t)*0.4:s=48000:d=600' -c:a aac "
         "-aac_pns 0 -b:a 128k");
  }
  const auto codings = wanted("audio") || wanted("extract")
                           ? MakeAudioCodings(dir)
                           : std::vector<std::pair<std::string, fs::path>>();
  // The client's extraction runs in a folder of its own beside a link to the library.
  const fs::path client = fs::path(self).parent_path() / "Zr8ReaderDllClient";
  const fs::path extractWork = dir / "extract";
  const fs::path extractCache = dir / "extract-cache";
  if (wanted("extract")) {
    if (!fs::exists(client)) Fail("the client is missing beside zr8_bench: " + client.string());
    fs::create_directories(extractWork);
    const fs::path link = extractWork / "libZr8Reader.so";
    fs::remove(link);
    fs::create_symlink(fs::path(self).parent_path() / "libZr8Reader.so", link);
  }
  // Many audio streams in one file: 10 s of 8 kHz mono PCM, the same tone in each.
  const fs::path manyStreams = dir / "streams300.mkv";
  if (wanted("streams")) {
    std::string maps;
    for (int i = 0; i < kManyStreams; ++i) maps += " -map 0:a";
    Make(manyStreams,
         "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=10" + maps + " -c:a pcm_s16le");
  }
  // Half-hour files at 320x180 and 25 fps (45,000 frames), the sound a tone in noise at 48 kHz
  // stereo: H.264 with B-frames and AAC (without noise substitution) in MP4; the same H.264 with
  // AC-3 in AVI and alone as a raw stream; MPEG-2 with B-pictures and MP2 in an MPEG-2 program
  // stream.
  struct LongFile {
    std::string name;  // the key of its samples
    std::string media;
    fs::path path;
    bool audio;
    bool target;  // the first open's targets apply (an index that needs more than a table)
  };
  const std::vector<LongFile> longFiles = {
      {"avi", "30 min 320x180, H.264 B-frames + AC-3, AVI", dir / "long30.avi", true, true},
      {"ps", "30 min 320x180, MPEG-2 B-pictures + MP2, program stream", dir / "long30.mpg", true,
       true},
      {"raw", "30 min 320x180, raw H.264 B-frames (no audio)", dir / "long30.h264", false, true},
      {"mp4", "30 min 320x180, H.264 B-frames + AAC, MP4", dir / "long30.mp4", true, false}};
  if (wanted("long")) {
    if (std::system("command -v ffmsindex >/dev/null") != 0) {
      Fail("ffmsindex is missing (Debian package ffmsindex; scripts/bench.sh installs it)");
    }
    const std::string sources =
        "-f lavfi -i testsrc2=size=320x180:rate=25 -f lavfi -i "
        "'aevalsrc=0.3*sin(440*2*PI*t)+0.1*(2*random(0)-1)|"
        "0.3*sin(554*2*PI*t)+0.1*(2*random(1)-1):s=48000' -t 1800 ";
    const fs::path& mp4 = longFiles[3].path;
    Make(mp4, sources + X264(250, 3) + " -b:v 150k -c:a aac -aac_pns 0 -b:a 96k");
    const std::string sameVideo =
        "-i " + mp4.string() + " -map 0:v -c:v copy -bsf:v h264_mp4toannexb";
    Make(longFiles[0].path, sameVideo + " -map 0:a -c:a ac3 -b:a 192k");
    Make(longFiles[2].path, sameVideo);
    Make(longFiles[1].path,
         sources + "-c:v mpeg2video -bf 2 -g 25 -b:v 400k -c:a mp2 -b:a 128k -f vob");
  }
  const fs::path videoCache = dir / "long-cache-video";
  const fs::path audioCache = dir / "long-cache-audio";
  const fs::path ffindex = dir / "long.ffindex";

  std::vector<std::string> copies;
  for (int i = 0; i < 8 && video; ++i) {
    const fs::path copy = dir / ("multi" + std::to_string(i) + ".mp4");
    if (!fs::exists(copy)) fs::copy_file(gop50, copy);
    copies.push_back(copy.string());
  }

  const unsigned cores = std::thread::hardware_concurrency();
  std::printf("cores: %u, runs: %d\n", cores, runs);
  std::fflush(stdout);
  ZR8READER_Initialize();

  struct Clip {
    std::string name;
    std::string path;
    int64_t count;
    std::vector<int64_t> random;
  };
  std::vector<Clip> clips;
  for (const auto& [name, path] : {std::pair<std::string, fs::path>{"H.264 GOP 50", gop50},
                                   {"H.264 GOP 250 B-frames", gop250},
                                   {"HEVC 10-bit GOP 50", hevc}}) {
    if (!video) break;
    File file = OpenFile(path.string());
    Video video = OpenVideo(file.get(), 0);
    const int64_t count = ZR8READER_ReadVideoStream_GetFrameCount(video.get());
    clips.push_back({name, path.string(), count, RandomFrames(count)});
  }

  std::map<std::string, std::vector<double>> samples;
  auto add = [&samples](const std::string& key, double value) { samples[key].push_back(value); };
  const int threadCounts[] = {1, 0};  // 1 thread, then the automatic count
  const int multiCounts[] = {1, 2, 4, 8};
  std::map<std::string, long> multiPeak;
  std::map<std::string, int> multiThreads;
  std::map<std::string, long> longPeak;
  for (int run = 0; run < runs; ++run) {
    std::printf("run %d of %d\n", run + 1, runs);
    std::fflush(stdout);
    for (const Clip& clip : clips) {
      for (int threads : threadCounts) {
        const std::string key = clip.name + "/" + std::to_string(threads);
        if (wanted("seq")) {
          add("seq/lib/" + key, LibrarySequential(clip.path, threads));
          add("seq/tool/" + key, ToolSequential(clip.path, threads));
          if (threads == 0) {
            add("seq/pyav/" + key, Peer(script, "pyav-seq", clip.path, {kSequentialFrames}));
          }
        }
        if (wanted("dual")) {
          add("dual/lib/" + key, LibraryDual(clip.path, threads));
          add("dual/tool/" + key, ToolDual(clip.path, threads, clip.count));
        }
      }
      if (wanted("rand") && clip.name.find("HEVC") == std::string::npos) {
        add("rand/lib/" + clip.name, LibraryRandom(clip.path, clip.random));
        add("rand/pyav/" + clip.name, Peer(script, "pyav", clip.path, clip.random));
        add("rand/pyavframe/" + clip.name, Peer(script, "pyav-frame", clip.path, clip.random));
        add("rand/cv/" + clip.name, Peer(script, "opencv", clip.path, clip.random));
      }
    }
    for (int limit : {0, 1}) {
      for (int count : multiCounts) {
        if (!wanted("multi") || (limit == 1 && count > 2)) continue;
        const std::string key = std::to_string(limit) + "/" + std::to_string(count);
        std::string command = self + " --multi " + std::to_string(limit);
        for (int i = 0; i < count; ++i) command += " " + copies[i];
        std::istringstream result(Capture(command));
        double wall = 0, cpu = 0;
        long peak = 0;
        int threads = 0;
        result >> wall >> cpu >> peak >> threads;
        add("multi/fps/" + key, count * kMultiFrames / wall);
        add("multi/cpu/" + key, cpu / (count * kMultiFrames));
        multiPeak[key] = std::max(multiPeak[key], peak);
        multiThreads[key] = std::max(multiThreads[key], threads);
      }
    }
    for (const fs::path& path : {longMp4, longMkv, longTs}) {
      if (!wanted("open")) break;
      add("open/lib/" + path.extension().string(), LibraryOpen(path.string()));
      add("open/tool/" + path.extension().string(), ToolCount(path.string()));
    }
    if (wanted("open")) {
      add("open/lib/.h264", LibraryOpen(longRaw.string()));
      add("open/tool/.h264", ToolDecode(longRaw.string()));
    }
    if (wanted("audio")) {
      add("audio/lib", LibraryAudio(audio.string()));
      add("audio/tool", ToolAudio(audio.string()));
      for (const fs::path& file : {audio, plainAudio}) {
        const auto [sequential, random] = LibraryAudioRandom(file.string());
        add("audio/seq/" + file.stem().string(), sequential);
        add("audio/rand/" + file.stem().string(), random);
      }
      for (const auto& [name, file] : codings) {
        const auto [sequential, random] = LibraryAudioRandom(file.string());
        add("audio/seq/" + name, sequential);
        add("audio/rand/" + name, random);
      }
    }
    for (const auto& [name, file] : codings) {
      if (!wanted("extract")) break;
      add("extract/first/" + name, ClientExtract(client, extractWork, file.string(), ""));
      add("extract/cached/" + name,
          ClientExtract(client, extractWork, file.string(), extractCache.string()));
      add("extract/tool/" + name, ToolExtract(extractWork, file.string()));
    }
    if (wanted("streams")) {
      const auto [first, last] = LibraryStreamOpens(manyStreams.string(), kManyStreams - 1);
      add("streams/lib/0", first);
      add("streams/lib/" + std::to_string(kManyStreams - 1), last);
      add("streams/tool", ToolAudio(manyStreams.string(), kManyStreams - 1));
    }
    for (const LongFile& file : longFiles) {
      if (!wanted("long")) break;
      const auto start = Clock::now();
      const std::string path = file.path.string();
      // The first value of a child's measure, its peak memory (the last) kept beside it.
      auto keep = [&](const std::string& what, const std::vector<double>& values) {
        const std::string key = what + "/" + file.name;
        add("long/" + key, values.front());
        if (values.size() > 2) add("long/" + what + "/stream/" + file.name, values[1]);
        longPeak[key] = std::max(longPeak[key], static_cast<long>(values.back()));
      };
      // The video's index and the audio's timeline each in a cache folder of their own, so that
      // each first open starts from nothing and each second open finds its own.
      keep("video1", LongMeasure(self, "video", file.path, videoCache, true));
      keep("video2", LongMeasure(self, "video", file.path, videoCache, false));
      keep("frames", LongMeasure(self, "frames", file.path, videoCache, false));
      add("long/tool/" + file.name, ToolDecodeAll(path));
      add("long/ffms0/" + file.name, Ffmsindex(path, ffindex, 0));
      if (file.audio) {
        keep("audio1", LongMeasure(self, "audio", file.path, audioCache, true));
        keep("audio2", LongMeasure(self, "audio", file.path, audioCache, false));
        const std::vector<double> reads =
            LongMeasure(self, "samples", file.path, audioCache, false);
        keep("sequential", reads);
        add("long/random/" + file.name, reads[1]);
        add("long/toolaudio/" + file.name, ToolAudio(path));
        add("long/ffmsall/" + file.name, Ffmsindex(path, ffindex, -1));
      }
      std::printf("long: %s measured in %.1f s\n", file.path.filename().c_str(), Seconds(start));
      std::fflush(stdout);
    }
  }

  auto median = [&samples](const std::string& key) { return Median(samples[key]); };
  std::vector<Row> rows;
  for (const Clip& clip : clips) {
    for (int threads : threadCounts) {
      const std::string key = clip.name + "/" + std::to_string(threads);
      const std::string label = threads == 1 ? "1 thread" : "automatic threads";
      const std::string tool = threads == 1 ? "ffmpeg -threads 1" : "ffmpeg (default threads)";
      for (const std::string test : {"seq", "dual"}) {
        if (!wanted(test)) continue;
        const int frames = test == "seq" ? kSequentialFrames : kDualFrames;
        const double library = frames / median(test + "/lib/" + key);
        const double peer = frames / median(test + "/tool/" + key);
        rows.push_back({test == "seq" ? "1. sequential, 128 frames" : "2. dual-stream, 64 frames",
                        clip.name + ", " + label, "frames/s (open included)",
                        Format("%.1f", library), tool, Format("%.1f", peer),
                        Format("%.2f", library / peer), ">= 1.0"});
        if (test == "seq" && threads == 0) {
          const double pyav = frames / median("seq/pyav/" + key);
          rows.push_back({"1. sequential, 128 frames", clip.name + ", " + label,
                          "frames/s (open included)", Format("%.1f", library),
                          "PyAV decode, thread_type AUTO", Format("%.1f", pyav),
                          Format("%.2f", library / pyav), ">= 1.0"});
        }
      }
    }
  }
  for (const Clip& clip : clips) {
    if (!wanted("rand") || clip.name.find("HEVC") != std::string::npos) continue;
    const double library = 1000 * median("rand/lib/" + clip.name) / kRandomFrames;
    const double pyav = 1000 * median("rand/pyav/" + clip.name) / kRandomFrames;
    const double pyavFrame = 1000 * median("rand/pyavframe/" + clip.name) / kRandomFrames;
    const double cv = 1000 * median("rand/cv/" + clip.name) / kRandomFrames;
    rows.push_back({"3. random, 32 frames", clip.name, "ms per frame", Format("%.1f", library),
                    "PyAV seek + decode (exact), its default threads", Format("%.1f", pyav),
                    Format("%.2f", library / pyav), "<= 0.6"});
    rows.push_back({"3. random, 32 frames", clip.name, "ms per frame", Format("%.1f", library),
                    "PyAV seek + decode (exact), thread_type AUTO", Format("%.1f", pyavFrame),
                    Format("%.2f", library / pyavFrame), "<= 0.6"});
    rows.push_back({"3. random, 32 frames", clip.name, "ms per frame", Format("%.1f", library),
                    "OpenCV POS_FRAMES (not frame-exact)", Format("%.1f", cv),
                    Format("%.2f", library / cv), "-"});
  }
  for (int limit : {0, 1}) {
    if (!wanted("multi")) break;
    const std::string prefix = std::to_string(limit) + "/";
    const double single = median("multi/fps/" + prefix + "1");
    for (int count : multiCounts) {
      if (limit == 1 && count > 2) continue;
      const std::string key = prefix + std::to_string(count);
      const double fps = median("multi/fps/" + key);
      std::string target = "-";
      if (count == 2) target = ">= 1.7";
      if (count == 8) target = "< 600 MB; threads <= " + std::to_string(cores + 1);
      rows.push_back({"4. several files, 32 frames each",
                      std::to_string(count) + " read threads, H.264 1080p, " +
                          (limit == 1 ? "1 decoder thread each" : "automatic threads"),
                      "total frames/s; CPU ms/frame; peak MB; library threads",
                      Format("%.1f", fps) + "; " +
                          Format("%.1f", 1000 * median("multi/cpu/" + key)) + "; " +
                          std::to_string(multiPeak[key]) + "; " + std::to_string(multiThreads[key]),
                      "1 read thread, same threads", Format("%.1f", single),
                      Format("%.2f", fps / single), target});
    }
  }
  for (const char* extension : {".mp4", ".mkv", ".ts"}) {
    if (!wanted("open")) break;
    const double library = 1000 * median(std::string("open/lib/") + extension);
    const double tool = 1000 * median(std::string("open/tool/") + extension);
    rows.push_back({"5. open and index", std::string("10 min 320x240, ") + (extension + 1), "ms",
                    Format("%.1f", library), "ffprobe -count_packets", Format("%.1f", tool),
                    Format("%.2f", library / tool),
                    std::string(extension) == ".mp4" ? "< 50 ms" : "<= 1.0"});
  }
  if (wanted("open")) {
    const double library = median("open/lib/.h264");
    const double tool = median("open/tool/.h264");
    rows.push_back({"5. open and index a stream without times", "10 min 320x240, raw h264", "ms",
                    Format("%.1f", 1000 * library), "ffmpeg -f null (full decode)",
                    Format("%.1f", 1000 * tool), Format("%.3f", library / tool), "<= 0.05"});
  }
  if (wanted("audio")) {
    const double library = median("audio/lib");
    const double tool = median("audio/tool");
    rows.push_back({"6. audio, blocks of 4096", "10 min AAC 48 kHz stereo", "s",
                    Format("%.3f", library), "ffmpeg -f f32le", Format("%.3f", tool),
                    Format("%.2f", tool / library) + " (speed)", ">= 1.0"});
    std::vector<std::pair<std::string, std::string>> random = {
        {"audio-plain", "10 min AAC 48 kHz stereo (tones)"},
        {"audio", "the same with noise substitution"}};
    for (const auto& [name, file] : codings) {
      random.emplace_back(name, "10 min " + name + " 48 kHz stereo (noise and a tone)");
    }
    for (const auto& [key, media] : random) {
      const double reads = median("audio/rand/" + key);
      const double sequential = median("audio/seq/" + key);
      rows.push_back({"7. audio, 32 random reads of 4096", media, "s", Format("%.3f", reads),
                      "the library's sequential read (open excluded)", Format("%.3f", sequential),
                      Format("%.3f", reads / sequential), "<= 0.1"});
    }
  }

  for (const auto& [name, file] : codings) {
    if (!wanted("extract")) break;
    const double first = median("extract/first/" + name);
    const double cached = median("extract/cached/" + name);
    const double tool = median("extract/tool/" + name);
    rows.push_back({"6. the client's -audio -extract", "10 min " + name + " 48 kHz stereo",
                    "s, first open; cached open",
                    Format("%.3f", first) + "; " + Format("%.3f", cached),
                    "ffmpeg -f f32le to a file", Format("%.3f", tool),
                    Format("%.2f", first / tool) + "; " + Format("%.2f", cached / tool), "<= 1.0"});
  }

  if (wanted("streams")) {
    const double tool = 1000 * median("streams/tool");
    for (int number : {0, kManyStreams - 1}) {
      const double library = 1000 * median("streams/lib/" + std::to_string(number));
      rows.push_back(
          {"8. open an audio stream of many", "10 s, 300 PCM streams 8 kHz mono, mkv",
           "ms to open stream " + std::to_string(number) + (number ? ", second" : ", first"),
           Format("%.1f", library), "ffmpeg -map 0:a:299 -f f32le", Format("%.1f", tool),
           Format("%.2f", library / tool), "-"});
    }
  }

  for (const LongFile& file : longFiles) {
    if (!wanted("long")) break;
    auto ms = [&](const std::string& what) {
      return 1000 * median("long/" + what + "/" + file.name);
    };
    auto peak = [&](const std::string& what) {
      return "; " + std::to_string(longPeak[what + "/" + file.name]);
    };
    const std::string open = "9. long file, first open (index cache empty)";
    const std::string target = file.target ? "<= 0.05" : "-";
    const std::string atMost = file.target ? "<= 1.0" : "-";
    const double video = ms("video1");
    const double decode = ms("tool");
    const std::string decoder = file.audio ? "ffmpeg -i F -f null - (video + audio decode)"
                                           : "ffmpeg -i F -f null - (decode)";
    rows.push_back({open, file.media, "ms, video stream; peak MB",
                    Format("%.1f", video) + peak("video1"), decoder, Format("%.1f", decode),
                    Format("%.3f", video / decode), target});
    const double ffms = ms("ffms0");
    rows.push_back({open, file.media, "ms, video stream", Format("%.1f", video),
                    "ffmsindex -f -p -t 0 (video only)", Format("%.1f", ffms),
                    Format("%.2f", video / ffms), atMost});
    if (file.audio) {
      const double audio = ms("audio1");
      const double audioDecode = ms("toolaudio");
      rows.push_back({open, file.media, "ms, audio stream; peak MB",
                      Format("%.1f", audio) + peak("audio1"),
                      "ffmpeg -map 0:a:0 -f f32le (audio decode)", Format("%.1f", audioDecode),
                      Format("%.3f", audio / audioDecode), "-"});
      rows.push_back({open, file.media, "ms, video + audio streams", Format("%.1f", video + audio),
                      decoder, Format("%.1f", decode), Format("%.3f", (video + audio) / decode),
                      target});
      const double ffmsAll = ms("ffmsall");
      rows.push_back({open, file.media, "ms, video + audio streams", Format("%.1f", video + audio),
                      "ffmsindex -f -p -t -1 (audio decoded too)", Format("%.1f", ffmsAll),
                      Format("%.2f", (video + audio) / ffmsAll), atMost});
    }
    for (const std::string stream : {"video", "audio"}) {
      if (stream == "audio" && !file.audio) continue;
      // The stream's open reads the index back; the file's open before it is the demuxer's
      // reading of the container's headers, which every reader of the file pays.
      const double whole = ms(stream + "2"), index = ms(stream + "2/stream");
      rows.push_back({"10. long file, second open (index cached)", file.media,
                      "ms, file + " + stream + " stream; peak MB",
                      Format("%.1f", whole) + peak(stream + "2"),
                      "of which the stream's open (index read back)", Format("%.1f", index),
                      Format("%.2f", index / whole), "index <= 50 ms"});
    }
    rows.push_back({"11. long file, random, 32 frames", file.media, "ms per frame; peak MB",
                    Format("%.1f", ms("frames") / kRandomFrames) + peak("frames"), "-", "-", "-",
                    "-"});
    if (file.audio) {
      const double random = ms("random") / 1000;
      const double sequential = ms("sequential") / 1000;
      rows.push_back({"12. long file, audio, 32 random reads of 4096", file.media, "s; peak MB",
                      Format("%.3f", random) + peak("sequential"),
                      "the library's sequential read (open excluded)", Format("%.3f", sequential),
                      Format("%.3f", random / sequential), "<= 0.1"});
    }
  }

  std::printf("\ncores: %u; medians of %d runs; peak memory of this process: %ld MB\n\n", cores,
              runs, PeakMegabytes());
  std::printf("| test | media | measure | library | peer | peer value | ratio | target |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    std::printf("| %s | %s | %s | %s | %s | %s | %s | %s |\n", row.test.c_str(), row.media.c_str(),
                row.measure.c_str(), row.library.c_str(), row.peer.c_str(), row.peerValue.c_str(),
                row.ratio.c_str(), row.target.c_str());
  }
  std::printf(
      "\nratio: library / peer for frames per second and speed; library time / peer time "
      "for random access and opening. (checksum %llu)\n",
      static_cast<unsigned long long>(checksum.load()));
  ZR8READER_Uninitialize();
  return 0;
}
