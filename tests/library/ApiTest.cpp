// Set-up, files, bad input, hardware answers, preferences and handle checks through the
// exported entry points.
#include <CL/cl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

#include "Handles.h"
#include "Media.h"

namespace fs = std::filesystem;

namespace {

const char* const kClipArguments =
    "-f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi -i sine=frequency=500:duration=2 -t 2 "
    "-c:v libx264 -preset ultrafast -c:a aac";

fs::path Clip() {
  return media::Make("api_clip.mp4", kClipArguments);
}

fs::path WriteBytes(const std::string& name, const std::string& bytes) {
  const fs::path path = media::Dir() / name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(SetUpTest, InitializeIsCounted) {
  EXPECT_EQ(ZR8READER_Initialize(), 0);
  EXPECT_EQ(ZR8READER_Initialize(), 0);
  EXPECT_EQ(ZR8READER_Uninitialize(), 0);
  EXPECT_EQ(ZR8READER_Uninitialize(), 0);
  EXPECT_GE(ZR8READER_Uninitialize(), 0);  // beyond the count: harmless
}

// Every kind of input that is not a usable media file: refused, never a crash or a hang.
TEST(BadInputTest, RefusedCleanly) {
  const std::string good = ReadBytes(Clip());
  std::string garbled = good;
  for (size_t i = 64; i < garbled.size(); i += 97)
    garbled[i] = static_cast<char>(garbled[i] ^ 0x5A);
  const fs::path directory = media::Dir() / "a_directory.mp4";
  fs::create_directories(directory);
  const fs::path unreadable = WriteBytes("unreadable.mp4", good);
  chmod(unreadable.c_str(), 0);
  const bool root = geteuid() == 0;

  const std::vector<fs::path> refused = {
      WriteBytes("empty.mp4", ""),
      WriteBytes("text.mp4", "this is not a media file\n"),
      WriteBytes("zeros.mkv", std::string(100000, '\0')),
      WriteBytes("header_only.mp4", good.substr(0, 40)),
      directory,
      media::Dir() / "missing.mp4",
  };
  for (const auto& path : refused) {
    const std::wstring wide = media::Wide(path.string());
    EXPECT_EQ(ZR8READER_IsSupported(wide.c_str()), 0) << path;
    void* file = reinterpret_cast<void*>(1);
    EXPECT_LT(ZR8READER_OpenReadFile(&file, wide.c_str(), 3), 0) << path;
    EXPECT_EQ(file, nullptr);
  }
  if (!root) {
    const std::wstring wide = media::Wide(unreadable.string());
    EXPECT_EQ(ZR8READER_IsSupported(wide.c_str()), 0);
  }
  EXPECT_EQ(ZR8READER_IsSupported(nullptr), 0);
  EXPECT_LT(ZR8READER_OpenReadFile(nullptr, L"x", 3), 0);
  void* file = nullptr;
  EXPECT_LT(ZR8READER_OpenReadFile(&file, nullptr, 3), 0);

  // Damaged copies may open; whatever they deliver, every request returns.
  for (const auto& path : {WriteBytes("truncated.mp4", good.substr(0, good.size() * 2 / 3)),
                           WriteBytes("garbled.mp4", garbled)}) {
    handles::File damaged = handles::OpenFile(path);
    if (!damaged) continue;
    handles::Video video = handles::OpenVideo(damaged.get(), 0x2000);
    if (video) {
      const int64_t count = ZR8READER_ReadVideoStream_GetFrameCount(video.get());
      for (int64_t n : {count - 1, int64_t{0}, count / 2, int64_t{1}})
        handles::Frame(video.get(), n);
    }
    void* raw = nullptr;
    if (ZR8READER_ReadFile_OpenAudioStream(damaged.get(), 0, &raw) >= 0) {
      handles::Audio audio(raw);
      const int64_t count = ZR8READER_ReadAudioStream_GetSampleCount(audio.get());
      std::vector<float> buffer(4096 * 8);
      int64_t read = 0;
      for (int64_t start = 0; start < count; start += read) {
        if (ZR8READER_ReadAudioStream_GetSamples(audio.get(), start, buffer.data(), 4096, &read) <
                0 ||
            read <= 0) {
          break;
        }
      }
    }
  }
}

TEST(FileTest, NameLengthAndStreams) {
  const fs::path clip = Clip();
  // A relative name with "." and ".." parts comes back absolute and normalised.
  const fs::path previous = fs::current_path();
  fs::current_path(media::Dir());
  const std::wstring relative = L"./sub/../api_clip.mp4";
  fs::create_directories("sub");
  void* raw = nullptr;
  const int32_t opened = ZR8READER_OpenReadFile(&raw, relative.c_str(), 3);
  fs::current_path(previous);
  ASSERT_EQ(opened, 0);
  handles::File file(raw);
  EXPECT_NE(ZR8READER_ReadFile_IsFileOpen(file.get()), 0);
  wchar_t name[1024];
  ASSERT_EQ(ZR8READER_ReadFile_GetFileName(file.get(), name, 1024), 0);
  EXPECT_EQ(std::wstring(name), media::Wide(clip.string()));
  wchar_t small[5] = {L'x', L'x', L'x', L'x', L'x'};
  EXPECT_LT(ZR8READER_ReadFile_GetFileName(file.get(), small, 5), 0);
  EXPECT_EQ(std::wstring(small), media::Wide(clip.string()).substr(0, 4));
  EXPECT_LT(ZR8READER_ReadFile_GetFileName(file.get(), small, 0), 0);
  EXPECT_EQ(ZR8READER_ReadFile_GetFileLength(file.get()), 20000000 + 0 * 1);
  EXPECT_EQ(ZR8READER_ReadFile_GetAudioStreamCount(file.get()), 1);
  EXPECT_EQ(ZR8READER_ReadFile_GetVideoStreamCount(file.get()), 1);

  int32_t types[32];
  int32_t count = 0;
  ASSERT_EQ(ZR8READER_ReadFile_GetDecoderPixelTypes(file.get(), 0, types, 32, &count), 0);
  ASSERT_GT(count, 10);
  EXPECT_EQ(types[0], 0x2000);

  EXPECT_EQ(ZR8READER_ReadFile_CloseFile(file.get()), 0);
  EXPECT_EQ(ZR8READER_ReadFile_IsFileOpen(file.get()), 0);
  void* video = reinterpret_cast<void*>(1);
  EXPECT_LT(ZR8READER_ReadFile_OpenVideoStream(file.get(), 0, nullptr, nullptr, &video), 0);
  EXPECT_EQ(video, nullptr);
}

TEST(FileTest, NamesThatAreNotUtf8ReachTheFile) {
  // The bytes 0xFF and 0xE9 are not UTF-8: they travel as U+DCFF and U+DCE9.
  const std::string bytesName = std::string("odd_\xFF_\xE9_") + "\xC3\xA9.mp4";
  const fs::path path = media::Dir() / bytesName;
  fs::copy_file(Clip(), path, fs::copy_options::overwrite_existing);
  std::wstring wide = media::Wide(media::Dir().string()) + L"/odd_";
  wide += wchar_t(0xDCFF);
  wide += L"_";
  wide += wchar_t(0xDCE9);
  wide += L"_";
  wide += wchar_t(0xE9);
  wide += L".mp4";
  EXPECT_NE(ZR8READER_IsSupported(wide.c_str()), 0);
  void* raw = nullptr;
  ASSERT_EQ(ZR8READER_OpenReadFile(&raw, wide.c_str(), 2), 0);
  handles::File file(raw);
  wchar_t name[1024];
  ASSERT_EQ(ZR8READER_ReadFile_GetFileName(file.get(), name, 1024), 0);
  EXPECT_EQ(std::wstring(name), wide);
}

// Whatever the machine has: a set-up that succeeds hands out a context that its release takes
// back; one that fails leaves nothing and says why; the text always ends within its capacity.
TEST(HardwareTest, SetUpSucceedsWithContextOrFailsWithReason) {
  struct Subsystem {
    const char* name;
    std::function<int32_t(void**, wchar_t*, int32_t)> init;
    std::function<int32_t(void**)> uninit;
  };
  int32_t id = 7;
  void* second = reinterpret_cast<void*>(1);
  const Subsystem subsystems[] = {
      {"CUDA",
       [&](void** h, wchar_t* t, int32_t c) {
         return ZR8READER_InitCUDA(0, &id, h, &second, t, c);
       },
       [&](void** h) { return ZR8READER_UninitCUDA(&id, h, &second); }},
      {"AMF",
       [&](void** h, wchar_t* t, int32_t c) { return ZR8READER_InitAMF(0, 1, h, &second, t, c); },
       [&](void** h) { return ZR8READER_UninitAMF(h, &second); }},
      {"QSV", [](void** h, wchar_t* t, int32_t c) { return ZR8READER_InitQSV(0, 0, h, t, c); },
       [](void** h) { return ZR8READER_UninitQSV(h); }},
  };
  for (const Subsystem& subsystem : subsystems) {
    for (int32_t capacity : {512, 8}) {
      SCOPED_TRACE(std::string(subsystem.name) + " " + std::to_string(capacity));
      void* handle = reinterpret_cast<void*>(1);
      wchar_t text[512];
      std::fill(std::begin(text), std::end(text), L'#');
      const int32_t status = subsystem.init(&handle, text, capacity);
      EXPECT_LT(std::wcslen(text), static_cast<size_t>(capacity));
      EXPECT_GT(std::wcslen(text), 0u);
      if (status >= 0) {
        EXPECT_NE(handle, nullptr);
        EXPECT_EQ(subsystem.uninit(&handle), 0);
      } else {
        EXPECT_EQ(handle, nullptr);
      }
      EXPECT_EQ(handle, nullptr);
      EXPECT_EQ(subsystem.uninit(&handle), 0);  // nothing held
    }
  }
}

// In process and through the helper beside the library, the same decoders and a well-formed record.
TEST(HardwareTest, DetectionInProcessAndOutOfProcessAgree) {
  Zr8HardwareDecoderInfo records[16] = {};
  int32_t inProcess = -1;
  ASSERT_EQ(ZR8READER_GetSupportedHardwareDecoders(0, nullptr, &inProcess), 0);
  int32_t outOfProcess = -1;
  ASSERT_EQ(ZR8READER_GetSupportedHardwareDecodersOOP(16, records, &outOfProcess, 10000, 0), 0);
  EXPECT_EQ(outOfProcess, inProcess);
  for (int32_t n = 0; n < std::min(outOfProcess, 16); ++n) {
    EXPECT_TRUE(records[n].kind >= 2 && records[n].kind <= 4) << records[n].kind;
  }
  for (bool oop : {false, true}) {
    std::vector<uint8_t> results(ZR8_DETECTION_RESULTS_SIZE, 0xAB);
    ASSERT_EQ(oop ? ZR8READER_GetHardwareDetectionResultsOOP(results.data(), 10000, 0, 0)
                  : ZR8READER_GetHardwareDetectionResults(results.data(), 0),
              0);
    uint32_t magic = 0;
    int32_t decoders = -1;
    std::memcpy(&magic, results.data(), 4);
    std::memcpy(&decoders, results.data() + ZR8_DETECTION_COUNT_OFFSET, 4);
    EXPECT_EQ(magic, 0x4838525Au);
    EXPECT_EQ(decoders, inProcess);
  }
  EXPECT_LT(ZR8READER_GetHardwareDetectionResults(nullptr, 0), 0);
  EXPECT_LT(ZR8READER_GetSupportedHardwareDecoders(1, nullptr, &inProcess), 0);
  void* pool = reinterpret_cast<void*>(1);
  Zr8OpenCLContextInfo info{};
  EXPECT_LT(ZR8READER_CreateImagePoolGPU(&info, &pool), 0);
  EXPECT_EQ(pool, nullptr);
}

TEST(PreferencesTest, SettersKeepTheirValues) {
  int32_t value = -1;
  ASSERT_EQ(ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference(4), 0);
  ASSERT_EQ(ZR8READER_FIOPluginPrefs_GetHardwareDecoderPreference(&value), 0);
  EXPECT_EQ(value, 4);
  ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference(0);
  int marker = 0;
  ZR8READER_FIOPluginPrefs_SetAMFContext(0, 1, &marker, nullptr);
  int32_t device = -1, mode = -1;
  void* first = nullptr;
  void* second = &marker;
  ASSERT_EQ(ZR8READER_FIOPluginPrefs_GetAMFContext(&device, &mode, &first, &second), 0);
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(first, &marker);
  EXPECT_EQ(second, nullptr);
  ZR8READER_FIOPluginPrefs_SetCUDAContext(3, nullptr, &marker);
  int32_t id = 0;
  ASSERT_EQ(ZR8READER_FIOPluginPrefs_GetCUDAContext(&id, &first, &second), 0);
  EXPECT_EQ(id, 3);
  EXPECT_EQ(second, &marker);
  EXPECT_LT(ZR8READER_FIOPluginPrefs_GetQSVImplHW(nullptr), 0);
  // A file opened afterwards decodes on the CPU whatever the preference.
  ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference(4);
  handles::File file = handles::OpenFile(Clip());
  ASSERT_TRUE(file);
  handles::Video video = handles::OpenVideo(file.get(), 0x2000);
  ASSERT_TRUE(video);
  EXPECT_FALSE(handles::Frame(video.get(), 3).empty());
  ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference(0);
}

TEST(HandleTest, WrongKindsAndNullsAreRefused) {
  handles::File file = handles::OpenFile(Clip());
  ASSERT_TRUE(file);
  void* pool = nullptr;
  ASSERT_EQ(ZR8READER_CreateBufferPoolCPU(&pool), 0);
  handles::BufferPool buffers(pool);
  void* file2 = nullptr;
  // A buffer pool where an image pool belongs, a file where a stream belongs.
  const Zr8DecodePrefs prefs = handles::Prefs(0x2000);
  void* video = nullptr;
  EXPECT_LT(ZR8READER_ReadFile_OpenVideoStream(file.get(), 0, &prefs, buffers.get(), &video), 0);
  EXPECT_EQ(ZR8READER_ReadVideoStream_GetFrameCount(file.get()), 0);
  EXPECT_EQ(ZR8READER_Image_TotalSize(file.get()), 0u);
  EXPECT_EQ(ZR8READER_Image_LockForCPU(nullptr, 1), nullptr);
  EXPECT_LT(ZR8READER_DeleteReadAudioStreamHandle(file.get()), 0);
  EXPECT_LT(ZR8READER_DeleteImagePoolHandle(buffers.get()), 0);
  EXPECT_LT(ZR8READER_DeleteReadFileHandle(nullptr), 0);
  EXPECT_LT(ZR8READER_DeleteBufferHandle(nullptr), 0);
  EXPECT_LT(ZR8READER_OpenReadFileEx(&file2, L"/nonexistent", 3, file.get()), 0);
  EXPECT_LT(ZR8READER_ReadFile_GetFileName(nullptr, nullptr, 10), 0);
  EXPECT_EQ(ZR8READER_ReadFile_GetFileLength(nullptr), 0);
  EXPECT_LT(ZR8READER_ReadAudioStream_GetCompressedFormat(nullptr, nullptr), 0);
}

}  // namespace

namespace {

TEST(FileTest, CoverPicturesAreNotVideoStreams) {
  const fs::path cover = media::Make("cover.png", "-f lavfi -i testsrc2=size=64x64 -frames:v 1");
  const fs::path song = media::Make(
      "song_with_cover.mp3", "-f lavfi -i sine=duration=1 -i " + media::Quote(cover.string()) +
                                 " -map 0 -map 1 -c:a libmp3lame -c:v mjpeg "
                                 "-disposition:v attached_pic -id3v2_version 3");
  handles::File file = handles::OpenFile(song);
  ASSERT_TRUE(file);
  EXPECT_EQ(ZR8READER_ReadFile_GetAudioStreamCount(file.get()), 1);
  EXPECT_EQ(ZR8READER_ReadFile_GetVideoStreamCount(file.get()), 0);
  void* video = reinterpret_cast<void*>(1);
  EXPECT_LT(ZR8READER_ReadFile_OpenVideoStream(file.get(), 0, nullptr, nullptr, &video), 0);
  EXPECT_EQ(video, nullptr);
}

}  // namespace

// Pictures of a GPU pool live in buffers of the caller's OpenCL context, which the pool keeps alive
// after the caller lets go of it: the buffer holds the picture the CPU lock shows.
TEST(GpuPoolTest, PicturesLiveInBuffersOfTheGivenContext) {
  cl_platform_id platform = nullptr;
  cl_device_id device = nullptr;
  if (clGetPlatformIDs(1, &platform, nullptr) != CL_SUCCESS ||
      clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 1, &device, nullptr) != CL_SUCCESS) {
    GTEST_SKIP() << "no OpenCL device";
  }
  cl_int error = CL_SUCCESS;
  cl_context context = clCreateContext(nullptr, 1, &device, nullptr, nullptr, &error);
  ASSERT_EQ(error, CL_SUCCESS);
  cl_command_queue queue = clCreateCommandQueue(context, device, 0, &error);
  ASSERT_EQ(error, CL_SUCCESS);
  Zr8OpenCLContextInfo info{};
  info.device = device;
  info.platform = platform;
  info.context = context;
  info.commandQueue = queue;
  void* raw = nullptr;
  ASSERT_EQ(ZR8READER_CreateImagePoolGPU(&info, &raw), 0);
  handles::ImagePool pool(raw);
  clReleaseCommandQueue(queue);
  clReleaseContext(context);

  const auto path =
      media::Make("gpu_pool.mkv", "-f lavfi -i testsrc2=size=48x32:rate=10 -t 1 -c:v ffv1");
  const std::string reference = media::ReferenceVideo(path, "rgba");
  auto file = handles::OpenFile(path);
  auto video = handles::OpenVideo(file.get(), ZR8_PIXEL_RGBA_8u, pool.get());
  ASSERT_TRUE(video);
  const size_t size = 48 * 32 * 4;
  for (int64_t n : {0, 7, 3}) {
    void* made = nullptr;
    ASSERT_EQ(ZR8READER_ReadVideoStream_GetFrame(video.get(), n, &made), 0);
    handles::Image image(made);
    EXPECT_EQ(ZR8READER_Image_Attributes(image.get()) & 8u, 0u);  // not in CPU memory
    auto* buffer = static_cast<cl_mem>(ZR8READER_Image_LockForOpenCL(image.get(), 1));
    ASSERT_NE(buffer, nullptr);
    cl_context owner = nullptr;
    clGetMemObjectInfo(buffer, CL_MEM_CONTEXT, sizeof(owner), &owner, nullptr);
    EXPECT_EQ(owner, context);
    std::string read(size, '\0');
    cl_command_queue reader = clCreateCommandQueue(owner, device, 0, &error);
    ASSERT_EQ(
        clEnqueueReadBuffer(reader, buffer, CL_TRUE, 0, size, read.data(), 0, nullptr, nullptr),
        CL_SUCCESS);
    clReleaseCommandQueue(reader);
    EXPECT_TRUE(read == reference.substr(n * size, size)) << "frame " << n;
    const auto* mapped = static_cast<const char*>(ZR8READER_Image_LockForCPU(image.get(), 1));
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(std::memcmp(mapped, read.data(), size), 0);
    EXPECT_EQ(ZR8READER_Image_Unlock(image.get()), 0);
  }
}
