// zr8reader-gpucheck: decodes one clip through the reader library's entry points, in software or
// on a GPU, and reports what scripts/gpu-check.sh judges:
//
//   zr8reader-gpucheck <clip> <NONE|NVIDIA|INTEL|AMD> <sequential|random> <frame file>
//   zr8reader-gpucheck --needs: the NVIDIA libraries this machine lacks, one a line (exit 1 if any)
//
// The pictures (I420, in the order requested) go to the frame file. Printed, one "key: value" a
// line: frames, seconds, fps; hardware-throughout (yes when the stream's decode preferences
// reported the requested hardware after its open and after every frame); decoder-load-max (the
// highest NVDEC load NVML reported while decoding, in percent, or "unavailable"). The random order
// is the same in every run. Exit status 0 when every call succeeded.
#include <Zr8Reader.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

// NVIDIA's management library, loaded at run time: the decoder's load while decoding.
class DecoderLoad {
 public:
  DecoderLoad() {
    library_ = dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) return;
    auto init = reinterpret_cast<int (*)()>(dlsym(library_, "nvmlInit_v2"));
    auto handle = reinterpret_cast<int (*)(unsigned, void**)>(
        dlsym(library_, "nvmlDeviceGetHandleByIndex_v2"));
    utilization_ = reinterpret_cast<int (*)(void*, unsigned*, unsigned*)>(
        dlsym(library_, "nvmlDeviceGetDecoderUtilization"));
    if (init == nullptr || handle == nullptr || utilization_ == nullptr || init() != 0 ||
        handle(0, &device_) != 0) {
      utilization_ = nullptr;
    }
  }
  ~DecoderLoad() {
    Stop();
    if (library_ == nullptr) return;
    if (auto shutdown = reinterpret_cast<int (*)()>(dlsym(library_, "nvmlShutdown"))) shutdown();
    dlclose(library_);
  }
  bool Available() const { return utilization_ != nullptr; }

  void Start() {
    if (!Available()) return;
    running_ = true;
    sampler_ = std::thread([this] {
      while (running_) {
        unsigned percent = 0;
        unsigned period = 0;
        if (utilization_(device_, &percent, &period) == 0) {
          highest_ = std::max(highest_.load(), percent);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  }
  void Stop() {
    running_ = false;
    if (sampler_.joinable()) sampler_.join();
  }
  unsigned Highest() const { return highest_; }

 private:
  void* library_ = nullptr;
  void* device_ = nullptr;
  int (*utilization_)(void*, unsigned*, unsigned*) = nullptr;
  std::thread sampler_;
  std::atomic<bool> running_{false};
  std::atomic<unsigned> highest_{0};
};

int Fail(const char* what) {
  std::fprintf(stderr, "zr8reader-gpucheck: %s failed\n", what);
  return 1;
}

int Kind(const std::string& name) {
  if (name == "NVIDIA") return 4;
  if (name == "AMD") return 3;
  if (name == "INTEL") return 2;
  return name == "NONE" ? 0 : -1;
}

// Every frame once, in a shuffled order that is the same in every run.
std::vector<int64_t> Order(int64_t count, bool random) {
  std::vector<int64_t> order(static_cast<size_t>(count));
  std::iota(order.begin(), order.end(), 0);
  uint64_t state = 0x2545F4914F6CDD1Dull;
  for (size_t i = order.size(); random && i > 1; --i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    std::swap(order[i - 1], order[static_cast<size_t>((state >> 33) % i)]);
  }
  return order;
}

// The NVIDIA libraries the GPU run loads, as the dynamic loader finds them (LD_LIBRARY_PATH too).
int ReportMissing() {
  int missing = 0;
  for (const char* name : {"libcuda.so.1", "libnvcuvid.so.1"}) {
    void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      std::printf("%s\n", name);
      ++missing;
    } else {
      dlclose(library);
    }
  }
  return missing == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--needs") == 0) return ReportMissing();
  if (argc != 5 || Kind(argv[2]) < 0) {
    std::fprintf(stderr,
                 "usage: zr8reader-gpucheck <clip> <NONE|NVIDIA|INTEL|AMD> "
                 "<sequential|random> <frame file>\n");
    return 2;
  }
  const int kind = Kind(argv[2]);
  const bool random = std::strcmp(argv[3], "random") == 0;
  int32_t cudaId = 0;
  void* cuda1 = nullptr;
  void* cuda2 = nullptr;
  wchar_t message[512] = {};
  if (kind == 4 && ZR8READER_InitCUDA(0, &cudaId, &cuda1, &cuda2, message, 512) < 0) {
    return Fail("InitCUDA");
  }
  if (ZR8READER_Initialize() < 0) return Fail("Initialize");
  ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference(kind);
  ZR8READER_FIOPluginPrefs_SetCUDAContext(cudaId, cuda1, cuda2);

  std::wstring path(argv[1], argv[1] + std::strlen(argv[1]));
  void* file = nullptr;
  if (ZR8READER_OpenReadFileEx(&file, path.c_str(), 3, nullptr) < 0) return Fail("OpenReadFile");
  Zr8DecodePrefs prefs{};
  prefs.reserved0 = 1.0;
  prefs.reserved8 = 1.0;
  prefs.useOptimalPixelType = 1;
  prefs.pixelType = 8192;  // I420
  prefs.hardwarePreference = kind;
  prefs.reserved36 = 1;
  prefs.reserved40 = 23.976;
  prefs.reserved96 = 1;
  prefs.useCuda = kind == 4 ? 1 : 0;
  prefs.cudaId = cudaId;
  prefs.cudaHandle1 = cuda1;
  prefs.cudaHandle2 = cuda2;
  void* video = nullptr;
  if (ZR8READER_ReadFile_OpenVideoStream(file, 0, &prefs, nullptr, &video) < 0) {
    return Fail("OpenVideoStream");
  }
  std::FILE* out = std::fopen(argv[4], "wb");
  if (out == nullptr) return Fail("opening the frame file");

  bool throughout = true;
  auto checkPrefs = [&] {
    Zr8DecodePrefs now{};
    throughout = throughout && ZR8READER_ReadVideoStream_GetDecodePrefs(video, &now) >= 0 &&
                 now.hardwarePreference == kind;
  };
  checkPrefs();
  DecoderLoad load;
  const std::vector<int64_t> order = Order(ZR8READER_ReadVideoStream_GetFrameCount(video), random);
  load.Start();
  const auto start = std::chrono::steady_clock::now();
  for (int64_t n : order) {
    void* image = nullptr;
    if (ZR8READER_ReadVideoStream_GetFrame(video, n, &image) < 0) return Fail("GetFrame");
    const void* bytes = ZR8READER_Image_LockForCPU(image, 1);
    if (bytes == nullptr) return Fail("LockForCPU");
    std::fwrite(bytes, 1, ZR8READER_Image_TotalSize(image), out);
    ZR8READER_Image_Unlock(image);
    ZR8READER_DeleteImageHandle(image);
    checkPrefs();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  load.Stop();
  std::fclose(out);

  std::printf("frames: %zu\nseconds: %.3f\nfps: %.1f\n", order.size(), seconds,
              static_cast<double>(order.size()) / std::max(seconds, 1e-9));
  std::printf("hardware-throughout: %s\n", kind != 0 && throughout ? "yes" : "no");
  if (load.Available()) {
    std::printf("decoder-load-max: %u\n", load.Highest());
  } else {
    std::printf("decoder-load-max: unavailable\n");
  }
  ZR8READER_DeleteReadVideoStreamHandle(video);
  ZR8READER_ReadFile_CloseFile(file);
  ZR8READER_DeleteReadFileHandle(file);
  ZR8READER_Uninitialize();
  if (cuda1 != nullptr) ZR8READER_UninitCUDA(&cudaId, &cuda1, &cuda2);
  return 0;
}
