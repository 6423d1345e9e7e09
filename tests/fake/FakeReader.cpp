// The fake reader library: all 76 entry points, answering as the test chose and recording every
// call, and the accounting of every handle it gave out.
//
// A test writes its answers to "fake_config.txt" in the current directory, one per line:
//   <key> <value>            a value; the rest of the line is the value
//   <key>@<file> <value>     the same for one file only (the path as the client passed it)
//   fail <EntryPoint> [n]    the entry point fails: every call, or only its n-th call (from 1)
//   result <EntryPoint> <v> [n]   the entry point returns v: every call, or only its n-th call
// The fake appends one line per call to "fake_calls.log":
//   <EntryPoint> <arguments> => <result> <values it wrote>
// Handles appear by name (file1, audio1, video1, bufferpool1, imagepool1, image1); other pointers
// as hex, null as "null"; misuse of a handle adds a line that starts with "!!".
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "FakeContent.h"
#include "reader/AudioRecords.h"
#include "reader/HardwareRecords.h"
#include "reader/OpenCLContextInfo.h"
#include "reader/VideoRecords.h"
#include "text/WideText.h"
#include "zr8reader/include/Zr8ReaderEntryPoints.h"

// The exported prototypes come from the same list as the client's table.
extern "C" {
#define ZR8_DECLARE_EXPORT(name, result, parameters, use) result name parameters;
ZR8_ENTRY_POINTS(ZR8_DECLARE_EXPORT)
#undef ZR8_DECLARE_EXPORT
}

namespace {

constexpr int32_t kFail = static_cast<int32_t>(0x80004005);
constexpr int32_t kInvalidArgument = static_cast<int32_t>(0x80070057);
constexpr int32_t kNotImplemented = static_cast<int32_t>(0x80004001);

enum class Kind { kFile, kAudio, kVideo, kBufferPool, kImagePool, kImage };
const char* const kKindNames[] = {"file", "audio", "video", "bufferpool", "imagepool", "image"};

struct Handle {
  Kind kind;
  std::string name;
  bool released = false;
  bool locked = false;     // images
  bool closed = false;     // files: whether CloseFile was called
  std::string path;        // files: the path as opened
  Handle* file = nullptr;  // streams: the owning file, the stream's index
  int32_t index = 0;
  int32_t serial = 0;             // among handles of this kind, from 1
  int64_t requests = 0;           // audio streams: the sample requests so far
  const float* buffer = nullptr;  // audio streams: the buffer of the first sample request
  std::string bytes;  // images: the picture; video streams: the decode preferences asked for
};

std::string Narrow(const wchar_t* text) {
  return text == nullptr ? std::string() : platform::WideToBytes(text);
}

std::string Quote(const wchar_t* text) {
  return text == nullptr ? "null" : "\"" + Narrow(text) + "\"";
}

// Opened per line so that the record survives however the client process ends.
void Log(const std::string& line) {
  std::ofstream("fake_calls.log", std::ios::app | std::ios::binary) << line << '\n';
}

template <typename T>
T Parse(const std::optional<std::string>& value, T fallback) {
  if (!value) return fallback;
  if constexpr (std::is_same_v<T, double>) return std::strtod(value->c_str(), nullptr);
  return std::strtoll(value->c_str(), nullptr, 0);
}

// The answers a test chose and every handle given out. Used with the mutex held (see Call).
struct State {
  static State& Get() {
    // Never destroyed: read threads and static destructors of the client may still call in.
    static State* state = new State();
    return *state;
  }

  // The first text configured for key, looking first at key@path.
  std::optional<std::string> Value(const std::string& key, const std::string& path = {}) const {
    for (const std::string& wanted : {key + "@" + path, key}) {
      if (const auto it = values.lower_bound(wanted); it != values.end() && it->first == wanted) {
        return it->second;
      }
    }
    return std::nullopt;
  }
  template <typename T>
  T Number(const std::string& key, T fallback, const std::string& path = {}) const {
    return Parse(Value(key, path), fallback);
  }

  // Counts this call of entry and returns the result that the test forces for it, if any.
  std::optional<int64_t> Forced(const char* entry) {
    const int64_t call = ++callCounts[entry];
    std::optional<int64_t> result;
    for (const auto& [key, text] : values) {
      std::istringstream words(text);
      std::string name;
      int64_t value = kFail, n = 0;  // n 0: every call
      if (!(words >> name) || name != entry || (key != "fail" && key != "result")) continue;
      if (key == "result") words >> value;
      if (!(words >> n) || n == 0 || n == call) result = value;
    }
    return result;
  }

  Handle* NewHandle(Kind kind) {
    const auto k = static_cast<size_t>(kind);
    Handle* handle = handles.emplace_back(new Handle{});
    handle->kind = kind;
    handle->serial = ++counters[k];
    handle->name = kKindNames[k] + std::to_string(handle->serial);
    return handle;
  }

  std::string NameOf(void* pointer) const {
    if (pointer == nullptr) return "null";
    for (Handle* handle : handles) {
      if (handle == pointer) return handle->name;
    }
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
    return text;
  }

  // The live handle behind pointer, or null (and a "!!" line) when it is unknown or released.
  // release: marks it released instead (null is harmless there).
  Handle* Use(const char* entry, void* pointer, Kind kind, bool release = false) {
    if (release && pointer == nullptr) return nullptr;
    const std::string misuse = std::string("!! ") + entry;
    for (Handle* handle : handles) {
      if (handle != pointer || handle->kind != kind) continue;
      if (handle->released) {
        Log(misuse +
            (release ? " released " + handle->name + " twice" : " used released " + handle->name));
        return nullptr;
      }
      if (release && handle->locked) Log(misuse + " released " + handle->name + " while locked");
      handle->released = release;
      return handle;
    }
    Log(misuse + " got an unknown handle " + NameOf(pointer));
    return nullptr;
  }

  State() {
    std::ifstream config("fake_config.txt");
    for (std::string line; std::getline(config, line);) {
      std::istringstream words(line);
      std::string key, value;
      std::getline(words >> key >> std::ws, value);
      value.erase(value.find_last_not_of(" \t\r") + 1);
      if (!key.empty() && key[0] != '#') values.emplace(key, value);
    }
  }

  std::recursive_mutex mutex;
  std::multimap<std::string, std::string> values;  // in the file's order for each key
  std::map<std::string, int64_t> callCounts;
  std::vector<Handle*> handles;
  int32_t counters[6] = {};
};

// One call: holds the fake's lock, collects the log line, applies a forced result.
class Call {
 public:
  template <typename... Args>
  explicit Call(const char* entry, const Args&... args)
      : state(State::Get()), lock_(state.mutex), entry_(entry), line_(entry) {
    forced_ = state.Forced(entry);
    (Arg(args), ...);
  }

  Call& Arg(const std::string& text) {
    line_ += ' ' + text;
    return *this;
  }
  Call& Arg(int64_t value) { return Arg(std::to_string(value)); }
  Call& Arg(void* pointer) { return Arg(state.NameOf(pointer)); }
  // Logs the handle and returns it while it is live.
  Handle* Use(void* pointer, Kind kind) {
    Arg(pointer);
    return state.Use(entry_, pointer, kind);
  }
  void Misuse(const std::string& what) const { Log("!! " + std::string(entry_) + " " + what); }

  // A forced negative status fails the call before it does anything.
  bool ForcedFailure() const { return forced_.has_value() && *forced_ < 0; }
  int64_t Pick(int64_t fallback) const { return forced_.value_or(fallback); }
  int32_t Status(int64_t fallback = 0) { return Finish(static_cast<int32_t>(Pick(fallback))); }
  // Logs the call with its result and what it wrote.
  template <typename T>
  T Finish(T result, const std::string& written = {}) {
    std::ostringstream text;
    text << line_ << " => " << +result << (written.empty() ? "" : " ") << written;
    Log(text.str());
    return result;
  }
  void* FinishPointer(void* result, const char* text) {
    Log(line_ + " => " + text);
    return result;
  }
  int32_t Create(void** out, Kind kind, Handle** created = nullptr) {
    if (ForcedFailure()) return Status();
    if (out == nullptr) return Finish(kInvalidArgument);
    Handle* handle = state.NewHandle(kind);
    *out = handle;
    if (created != nullptr) *created = handle;
    return Finish(static_cast<int32_t>(Pick(0)), handle->name);
  }

  State& state;

 private:
  std::lock_guard<std::recursive_mutex> lock_;
  const char* entry_;
  std::string line_;
  std::optional<int64_t> forced_;
};

// An entry point that the client never calls: logged by name; a status of "not implemented", a
// null pointer, or a number forced by the test (0 otherwise).
template <typename Result>
Result NotCalled(const char* entry) {
  Call call(entry);
  if constexpr (std::is_pointer_v<Result>) {
    return static_cast<Result>(call.FinishPointer(nullptr, "null"));
  } else {
    const int64_t fallback = std::is_same_v<Result, int32_t> ? kNotImplemented : 0;
    return call.Finish(static_cast<Result>(call.Pick(fallback)));
  }
}

int32_t Delete(const char* entry, void* pointer, Kind kind) {
  Call call(entry, pointer);
  call.state.Use(entry, pointer, kind, true);
  return call.Status();
}

void CopyText(const std::string& text, wchar_t* buffer, int32_t capacity) {
  if (buffer == nullptr || capacity <= 0) return;
  const std::wstring wide = platform::BytesToWide(text);
  const size_t count = std::min(wide.size(), static_cast<size_t>(capacity - 1));
  std::copy_n(wide.data(), count, buffer);
  buffer[count] = L'\0';
}

std::string FilePath(const Handle* handle) {
  if (handle == nullptr) return {};
  return handle->kind == Kind::kFile ? handle->path : FilePath(handle->file);
}

// A number configured for the file of handle; for an audio stream "audio<index>.<field>" comes
// before "audio.<field>". A handle not in use answers 0.
template <typename T = int64_t>
T Number(const Handle* handle, const std::string& key, T fallback) {
  if (handle == nullptr) return 0;
  const State& state = State::Get();
  const std::string path = FilePath(handle);
  const auto own = handle->kind == Kind::kAudio
                       ? state.Value("audio" + std::to_string(handle->index) + key.substr(5), path)
                       : std::nullopt;
  return Parse(own ? own : state.Value(key, path), fallback);
}

template <typename T>
T Query(const char* entry, void* pointer, Kind kind, const std::string& key, int64_t fallback) {
  Call call(entry);
  const Handle* handle = call.Use(pointer, kind);
  // A video stream's length follows its frame count unless the test sets it.
  if (key == "videoLength") fallback = Number<int64_t>(handle, "frameCount", 10) * 400000;
  return call.Finish(static_cast<T>(call.Pick(Number(handle, key, fallback))));
}

template <typename Record, typename Fill>
int32_t Describe(const char* entry, void* stream, Kind kind, Record* record, Fill fill) {
  Call call(entry);
  const Handle* handle = call.Use(stream, kind);
  if (call.ForcedFailure()) return call.Status();
  if (handle == nullptr || record == nullptr) return call.Finish(kInvalidArgument);
  fill(handle);
  return call.Status();
}

// Every field of a DecodePrefs by its offset and type (d: double, b: byte, i: int32_t, l: int64_t,
// p: a pointer by name), so that a test sees exactly what the record holds.
std::string DescribePrefs(const State& state, const DecodePrefs* prefs) {
  if (prefs == nullptr) return "null";
  static const std::pair<size_t, char> kFields[] = {
      {0, 'd'},  {8, 'd'},  {16, 'b'}, {20, 'i'}, {24, 'i'},  {28, 'i'}, {32, 'i'},
      {36, 'b'}, {40, 'd'}, {48, 'b'}, {52, 'i'}, {56, 'b'},  {60, 'i'}, {64, 'p'},
      {72, 'p'}, {80, 'b'}, {88, 'l'}, {96, 'i'}, {104, 'p'}, {112, 'p'}};
  std::ostringstream text;
  for (const auto& [offset, type] : kFields) {
    text << (offset == 0 ? "{" : " ") << offset << ":";
    const auto read = [&](auto value) {
      std::memcpy(&value, reinterpret_cast<const char*>(prefs) + offset, sizeof(value));
      return value;
    };
    if (type == 'd') text << read(0.0);
    if (type == 'b') text << +read(uint8_t{});
    if (type == 'i') text << read(int32_t{});
    if (type == 'l') text << read(int64_t{});
    if (type == 'p') text << state.NameOf(read(static_cast<void*>(nullptr)));
  }
  return text.str() + "}";
}

int32_t OpenFile(Call& call, void** file, const wchar_t* path) {
  if (path == nullptr && !call.ForcedFailure()) return call.Finish(kInvalidArgument);
  Handle* handle = nullptr;
  const int32_t status = call.Create(file, Kind::kFile, &handle);
  if (handle != nullptr) handle->path = Narrow(path);
  return status;
}

int32_t OpenStream(Call& call, Handle* owner, int32_t index, void** stream, Kind kind,
                   Handle** created) {
  if (call.ForcedFailure()) return call.Status();
  const int64_t count =
      Number<int64_t>(owner, kind == Kind::kAudio ? "audioStreams" : "videoStreams", 1);
  if (owner == nullptr || index < 0 || index >= count) return call.Finish(kInvalidArgument);
  const int32_t status = call.Create(stream, kind, created);
  if (*created != nullptr) {
    (*created)->file = owner;
    (*created)->index = index;
  }
  return status;
}

// "kind:vendorId:name;kind:vendorId:name" into records.
std::vector<HardwareDecoderInfo> DecoderList(const std::string& text) {
  std::vector<HardwareDecoderInfo> list;
  std::istringstream entries(text);
  for (std::string entry; std::getline(entries, entry, ';');) {
    if (entry.empty()) continue;
    std::istringstream fields(entry);
    std::string kind, vendor, name;
    std::getline(std::getline(std::getline(fields, kind, ':'), vendor, ':'), name);
    HardwareDecoderInfo& info = list.emplace_back();
    info.kind = static_cast<int32_t>(std::strtol(kind.c_str(), nullptr, 0));
    info.vendorUniqueId = static_cast<uint32_t>(std::strtoul(vendor.c_str(), nullptr, 0));
    // Bytes that are not UTF-8 become U+DC80 to U+DCFF; 128 units or more leave no terminator.
    const std::u16string units = platform::BytesToUtf16(name);
    std::copy_n(units.begin(), std::min<size_t>(units.size(), 128), info.deviceName);
  }
  return list;
}

int32_t SupportedDecoders(Call& call, int32_t capacity, HardwareDecoderInfo* records,
                          int32_t* count) {
  if (call.ForcedFailure()) return call.Status();
  std::string text = call.state.Value("decoders").value_or("");
  if (capacity > 0) text = call.state.Value("decoders.second").value_or(text);
  const auto list = DecoderList(text);
  if (records != nullptr) {
    std::copy_n(list.begin(), std::min<size_t>(list.size(), static_cast<size_t>(capacity)),
                records);
  }
  // "decoders.count n": the count reported, whatever the list holds.
  const int64_t reported =
      call.state.Number<int64_t>("decoders.count", static_cast<int64_t>(list.size()));
  if (count != nullptr) *count = static_cast<int32_t>(reported);
  return call.Finish(static_cast<int32_t>(call.Pick(0)), std::to_string(reported));
}

int32_t DetectionResults(Call& call, void* results) {
  if (call.ForcedFailure()) return call.Status();
  const auto list = DecoderList(call.state.Value("decoders").value_or(""));
  const auto count = static_cast<uint32_t>(
      call.state.Number<int64_t>("detection.count", static_cast<int64_t>(list.size())));
  auto* bytes = static_cast<unsigned char*>(results);
  std::memset(bytes, 0xEE, kDetectionDecoderCountOffset);
  std::memcpy(bytes + kDetectionDecoderCountOffset, &count, sizeof(count));
  for (uint32_t i = 0; i < kDetectionListCapacity; ++i) {
    unsigned char* entry = bytes + kDetectionDecoderListOffset + i * kDetectedDecoderSize;
    std::memset(entry, 0, kDetectedDecoderSize);
    if (i >= count) continue;
    // Decoders beyond the configured list get made-up kinds and ids.
    const int32_t kind = i < list.size() ? list[i].kind : static_cast<int32_t>(i % 5);
    const uint32_t vendor = i < list.size() ? list[i].vendorUniqueId : 1000 + i;
    std::memcpy(entry, &kind, sizeof(kind));
    std::memcpy(entry + kDetectedDecoderVendorIdOffset, &vendor, sizeof(vendor));
  }
  return call.Finish(static_cast<int32_t>(call.Pick(0)), std::to_string(count));
}

// A hardware subsystem's set-up: made-up handles (logged after the CUDA id) and its description.
int32_t InitHardware(Call& call, const char* key, const char* description, wchar_t* text,
                     int32_t capacity, std::vector<std::pair<void**, uintptr_t>> handles,
                     int32_t* cudaId = nullptr) {
  call.Arg(capacity);
  if (call.ForcedFailure()) return call.Status();
  std::string written;
  if (cudaId != nullptr) {
    *cudaId = static_cast<int32_t>(call.state.Number<int64_t>("cuda.id", 3));
    written = std::to_string(*cudaId);
  }
  for (const auto& [handle, value] : handles) {
    *handle = reinterpret_cast<void*>(value);
    if (!written.empty()) written += ' ';
    written += call.state.NameOf(*handle);
  }
  CopyText(call.state.Value(key).value_or(description), text, capacity);
  return call.Finish(static_cast<int32_t>(call.Pick(0)), written);
}

}  // namespace

extern "C" {

int32_t ZR8READER_Initialize() {
  return Call(__func__).Status();
}

int32_t ZR8READER_Uninitialize() {
  return Call(__func__).Status();
}

int32_t ZR8READER_IsSupported(const wchar_t* path) {
  Call call(__func__, Quote(path));
  return call.Status(call.state.Number<int64_t>("supported", 1, Narrow(path)));
}

int32_t ZR8READER_OpenReadFile(void** file, const wchar_t* path, int32_t flags) {
  Call call(__func__, Quote(path), flags);
  return OpenFile(call, file, path);
}

int32_t ZR8READER_OpenReadFileEx(void** file, const wchar_t* path, int32_t flags,
                                 void* bufferPool) {
  Call call(__func__, Quote(path), flags, bufferPool);
  return OpenFile(call, file, path);
}

int32_t ZR8READER_OpenReadFileEx2(void** file, const wchar_t* path, int32_t flags, void* bufferPool,
                                  void* gpuImagePool) {
  Call call(__func__, Quote(path), flags, bufferPool, gpuImagePool);
  return OpenFile(call, file, path);
}

int32_t ZR8READER_ReadFile_CloseFile(void* file) {
  Call call(__func__);
  if (Handle* handle = call.Use(file, Kind::kFile)) handle->closed = true;
  return call.Status();
}

int32_t ZR8READER_ReadFile_IsFileOpen(void* file) {
  Call call(__func__);
  const Handle* handle = call.Use(file, Kind::kFile);
  return call.Status(handle != nullptr && !handle->closed);
}

int32_t ZR8READER_ReadFile_GetFileName(void* file, wchar_t* name, int32_t capacity) {
  Call call(__func__);
  const Handle* handle = call.Use(file, Kind::kFile);
  call.Arg(capacity);
  if (handle == nullptr || call.ForcedFailure()) return call.Status(kInvalidArgument);
  CopyText(call.state.Value("fileName", handle->path).value_or(handle->path), name, capacity);
  return call.Status();
}

int64_t ZR8READER_ReadFile_GetFileLength(void* file) {
  return Query<int64_t>(__func__, file, Kind::kFile, "fileLength", 900000000);
}

int32_t ZR8READER_ReadFile_GetAudioStreamCount(void* file) {
  return Query<int32_t>(__func__, file, Kind::kFile, "audioStreams", 1);
}

int32_t ZR8READER_ReadFile_GetVideoStreamCount(void* file) {
  return Query<int32_t>(__func__, file, Kind::kFile, "videoStreams", 1);
}

int32_t ZR8READER_ReadFile_OpenAudioStream(void* file, int32_t index, void** audio) {
  Call call(__func__);
  Handle* owner = call.Use(file, Kind::kFile);
  call.Arg(index);
  Handle* handle = nullptr;
  return OpenStream(call, owner, index, audio, Kind::kAudio, &handle);
}

int32_t ZR8READER_ReadFile_OpenVideoStream(void* file, int32_t index, const DecodePrefs* prefs,
                                           void* imagePool, void** video) {
  Call call(__func__);
  Handle* owner = call.Use(file, Kind::kFile);
  call.Arg(index).Arg(DescribePrefs(call.state, prefs));
  if (imagePool != nullptr) {
    call.Use(imagePool, Kind::kImagePool);
  } else {
    call.Arg(imagePool);
  }
  Handle* handle = nullptr;
  const int32_t status = OpenStream(call, owner, index, video, Kind::kVideo, &handle);
  if (handle != nullptr && prefs != nullptr) {
    handle->bytes.assign(reinterpret_cast<const char*>(prefs), sizeof(DecodePrefs));
  }
  return status;
}

int64_t ZR8READER_ReadAudioStream_GetStreamLength(void* audio) {
  return Query<int64_t>(__func__, audio, Kind::kAudio, "audio.length", 10000000);
}

int64_t ZR8READER_ReadAudioStream_GetSampleCount(void* audio) {
  return Query<int64_t>(__func__, audio, Kind::kAudio, "audio.sampleCount", 48000);
}

int32_t ZR8READER_ReadAudioStream_GetCompressedFormat(void* audio, AudioCompressedFormat* format) {
  return Describe(__func__, audio, Kind::kAudio, format, [&](const Handle* h) {
    format->format = static_cast<uint32_t>(Number<int64_t>(h, "audio.format", 0x666C3332));
    format->sampleRate = Number(h, "audio.sampleRate", 48000.0);
    format->channels = static_cast<int32_t>(Number<int64_t>(h, "audio.channels", 2));
    format->bitDepth = static_cast<int32_t>(Number<int64_t>(h, "audio.bitDepth", 16));
    format->avgBitRate = static_cast<uint32_t>(Number<int64_t>(h, "audio.avgBitRate", 128000));
    format->maxBitRate = static_cast<uint32_t>(Number<int64_t>(h, "audio.maxBitRate", 160000));
    format->fourCC = static_cast<uint32_t>(Number<int64_t>(h, "audio.fourCC", 0x6D703461));
  });
}

int32_t ZR8READER_ReadAudioStream_GetSamples(void* audio, int64_t startFrame, float* buffer,
                                             int64_t maxFrames, int64_t* framesRead) {
  Call call(__func__);
  Handle* handle = call.Use(audio, Kind::kAudio);
  call.Arg(startFrame).Arg(maxFrames);
  if (call.ForcedFailure()) return call.Status();
  if (handle == nullptr || buffer == nullptr || framesRead == nullptr || maxFrames < 0) {
    return call.Finish(kInvalidArgument);
  }
  const int64_t sampleCount = Number<int64_t>(handle, "audio.sampleCount", 48000);
  const int64_t available =
      Number<int64_t>(handle, "audio.available", std::max<int64_t>(0, sampleCount));
  // "audio.blocks 4096 100 0": the most frames each successive call delivers.
  int64_t frames = std::clamp<int64_t>(available - startFrame, 0, maxFrames);
  std::istringstream blocks(call.state.Value("audio.blocks", FilePath(handle)).value_or(""));
  int64_t block = 0;
  for (int64_t request = 0; request <= handle->requests && (blocks >> block); ++request) {
    if (request == handle->requests) frames = std::min(frames, block);
  }
  ++handle->requests;
  // One buffer serves every block of a stream: another one is misuse.
  if (handle->buffer == nullptr) handle->buffer = buffer;
  if (handle->buffer != buffer) call.Misuse("with another buffer");
  const std::string pcm = fake::Pcm(
      startFrame, frames, static_cast<int32_t>(Number<int64_t>(handle, "audio.channels", 2)));
  std::memcpy(buffer, pcm.data(), pcm.size());
  // "audio.overcount n": reports n frames more than it delivered.
  *framesRead = frames + Number<int64_t>(handle, "audio.overcount", 0);
  return call.Finish(static_cast<int32_t>(call.Pick(0)), std::to_string(*framesRead));
}

int64_t ZR8READER_ReadVideoStream_GetStreamLength(void* video) {
  return Query<int64_t>(__func__, video, Kind::kVideo, "videoLength", 0);
}

int64_t ZR8READER_ReadVideoStream_GetFrameCount(void* video) {
  return Query<int64_t>(__func__, video, Kind::kVideo, "frameCount", 10);
}

int32_t ZR8READER_ReadVideoStream_GetFormat(void* video, VideoFormat* format) {
  return Describe(__func__, video, Kind::kVideo, format, [&](const Handle* h) {
    format->pixelType = static_cast<int32_t>(Number<int64_t>(h, "video.pixelType", 0x2000));
    format->width = static_cast<uint32_t>(Number<int64_t>(h, "video.width", 16));
    format->height = static_cast<uint32_t>(Number<int64_t>(h, "video.height", 8));
    format->interlace = static_cast<int32_t>(Number<int64_t>(h, "video.interlace", 0));
    format->aspectRatio = Number(h, "video.aspectRatio", 1.0);
    format->frameRate = Number(h, "video.frameRate", 25.0);
  });
}

int32_t ZR8READER_ReadVideoStream_GetCompressedFormat(void* video, VideoCompressedFormat* format) {
  return Describe(__func__, video, Kind::kVideo, format, [&](const Handle* h) {
    format->fourCC = static_cast<uint32_t>(Number<int64_t>(h, "video.fourCC", 0x61766331));
  });
}

int32_t ZR8READER_ReadVideoStream_GetFrame(void* video, int64_t frameIndex, void** image) {
  Call call(__func__);
  Handle* stream = call.Use(video, Kind::kVideo);
  call.Arg(frameIndex);
  if (call.ForcedFailure()) return call.Status();
  if (stream == nullptr || image == nullptr || frameIndex < 0 ||
      frameIndex >= Number<int64_t>(stream, "frameCount", 10) ||
      frameIndex == Number<int64_t>(stream, "failFrame", -1)) {
    return call.Finish(kFail);
  }
  Handle* handle = nullptr;
  const int32_t status = call.Create(image, Kind::kImage, &handle);
  const auto size = static_cast<uint32_t>(Number<int64_t>(stream, "imageSize", 192));
  handle->bytes = fake::Pictures({frameIndex}, stream->serial, size);
  return status;
}

int32_t ZR8READER_ReadVideoStream_GetDecodePrefs(void* video, DecodePrefs* prefs) {
  Call call(__func__);
  const Handle* handle = call.Use(video, Kind::kVideo);
  call.Arg(DescribePrefs(call.state, prefs));
  if (call.ForcedFailure()) return call.Status();
  if (handle == nullptr || prefs == nullptr) return call.Finish(kInvalidArgument);
  // What is in effect: what was requested.
  if (handle->bytes.size() == sizeof(DecodePrefs)) {
    std::memcpy(prefs, handle->bytes.data(), sizeof(DecodePrefs));
  }
  return call.Status();
}

int32_t ZR8READER_CreateBufferPoolCPU(void** pool) {
  return Call(__func__).Create(pool, Kind::kBufferPool);
}

int32_t ZR8READER_CreateImagePoolCPU(void** pool) {
  return Call(__func__).Create(pool, Kind::kImagePool);
}

int32_t ZR8READER_CreateImagePoolGPU(const OpenCLContextInfo* info, void** pool) {
  Call call(__func__);
  if (info == nullptr) return call.Arg("null").Create(pool, Kind::kImagePool);
  // Only what does not differ from run to run.
  const auto set = [](const void* p) { return p != nullptr ? "set" : "null"; };
  const bool same =
      info->commandQueue == info->commandQueue2 && info->commandQueue == info->commandQueue3;
  const bool zero = std::all_of(std::begin(info->reserved48), std::end(info->reserved48),
                                [](uint8_t byte) { return byte == 0; });
  call.Arg(std::string("device=") + set(info->device) + " platform=" + set(info->platform) +
           " context=" + set(info->context) + " queue=" + set(info->commandQueue) +
           " queues=" + (same ? "same" : "differ") + " tail=" + (zero ? "zero" : "set"));
  return call.Create(pool, Kind::kImagePool);
}

void* ZR8READER_Image_LockForCPU(void* image, int32_t access) {
  Call call(__func__);
  Handle* handle = call.Use(image, Kind::kImage);
  call.Arg(access);
  if (handle == nullptr || call.ForcedFailure()) return call.FinishPointer(nullptr, "null");
  if (handle->locked) call.Misuse("locked twice");
  handle->locked = true;
  return call.FinishPointer(handle->bytes.data(), "bytes");
}

int32_t ZR8READER_Image_Unlock(void* image) {
  Call call(__func__);
  if (Handle* handle = call.Use(image, Kind::kImage)) {
    if (!handle->locked) call.Misuse("not locked");
    handle->locked = false;
  }
  return call.Status();
}

uint32_t ZR8READER_Image_TotalSize(void* image) {
  Call call(__func__);
  const Handle* handle = call.Use(image, Kind::kImage);
  const auto size = static_cast<int64_t>(handle == nullptr ? 0 : handle->bytes.size());
  return call.Finish(static_cast<uint32_t>(call.Pick(size)));
}

int32_t ZR8READER_DeleteBufferPoolHandle(void* pool) {
  return Delete(__func__, pool, Kind::kBufferPool);
}

int32_t ZR8READER_DeleteImagePoolHandle(void* pool) {
  return Delete(__func__, pool, Kind::kImagePool);
}

int32_t ZR8READER_DeleteImageHandle(void* image) {
  return Delete(__func__, image, Kind::kImage);
}

int32_t ZR8READER_DeleteReadFileHandle(void* file) {
  return Delete(__func__, file, Kind::kFile);
}

int32_t ZR8READER_DeleteReadAudioStreamHandle(void* audio) {
  return Delete(__func__, audio, Kind::kAudio);
}

int32_t ZR8READER_DeleteReadVideoStreamHandle(void* video) {
  return Delete(__func__, video, Kind::kVideo);
}

int32_t ZR8READER_InitCUDA(int32_t device, int32_t* cudaId, void** cudaHandle1, void** cudaHandle2,
                           wchar_t* text, int32_t capacity) {
  Call call(__func__, device);
  return InitHardware(call, "cuda.text", "Fake CUDA device", text, capacity,
                      {{cudaHandle1, 0xC1}, {cudaHandle2, 0xC2}}, cudaId);
}

int32_t ZR8READER_UninitCUDA(int32_t* cudaId, void** cudaHandle1, void** cudaHandle2) {
  return Call(__func__, *cudaId, *cudaHandle1, *cudaHandle2).Status();
}

int32_t ZR8READER_InitAMF(int32_t device, int32_t mode, void** amfHandle1, void** amfHandle2,
                          wchar_t* text, int32_t capacity) {
  Call call(__func__, device, mode);
  return InitHardware(call, "amf.text", "Fake AMF device", text, capacity,
                      {{amfHandle1, 0xA1}, {amfHandle2, 0xA2}});
}

int32_t ZR8READER_UninitAMF(void** amfHandle1, void** amfHandle2) {
  return Call(__func__, *amfHandle1, *amfHandle2).Status();
}

int32_t ZR8READER_InitQSV(int32_t device, int32_t mode, void** qsvHandle, wchar_t* text,
                          int32_t capacity) {
  Call call(__func__, device, mode);
  return InitHardware(call, "qsv.text", "Fake QSV device", text, capacity, {{qsvHandle, 0x51}});
}

int32_t ZR8READER_UninitQSV(void** qsvHandle) {
  return Call(__func__, qsvHandle == nullptr ? nullptr : *qsvHandle).Status();
}

int32_t ZR8READER_GetSupportedHardwareDecoders(int32_t capacity, HardwareDecoderInfo* records,
                                               int32_t* count) {
  Call call(__func__, capacity, records == nullptr ? "null" : "records");
  return SupportedDecoders(call, capacity, records, count);
}

int32_t ZR8READER_GetSupportedHardwareDecodersOOP(int32_t capacity, HardwareDecoderInfo* records,
                                                  int32_t* count, int32_t timeoutMs,
                                                  int32_t useCache) {
  Call call(__func__, capacity, records == nullptr ? "null" : "records", timeoutMs, useCache);
  return SupportedDecoders(call, capacity, records, count);
}

int32_t ZR8READER_GetHardwareDetectionResults(void* results, int32_t dxgiEnumPreference) {
  Call call(__func__, dxgiEnumPreference);
  return DetectionResults(call, results);
}

int32_t ZR8READER_GetHardwareDetectionResultsOOP(void* results, int32_t timeoutMs, int32_t useCache,
                                                 int32_t dxgiEnumPreference) {
  Call call(__func__, timeoutMs, useCache, dxgiEnumPreference);
  return DetectionResults(call, results);
}

int32_t ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference(int32_t preference) {
  return Call(__func__, preference).Status();
}

int32_t ZR8READER_FIOPluginPrefs_SetCUDAContext(int32_t cudaId, void* cudaHandle1,
                                                void* cudaHandle2) {
  return Call(__func__, cudaId, cudaHandle1, cudaHandle2).Status();
}

int32_t ZR8READER_FIOPluginPrefs_SetAMFContext(int32_t device, int32_t mode, void* amfHandle1,
                                               void* amfHandle2) {
  return Call(__func__, device, mode, amfHandle1, amfHandle2).Status();
}

// The entry points that the client never calls (see NotCalled).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define ZR8_STUB_called(name, result, parameters)
#define ZR8_STUB_uncalled(name, result, parameters) \
  result name parameters {                          \
    return NotCalled<result>(#name);                \
  }
#define ZR8_STUB(name, result, parameters, use) ZR8_STUB_##use(name, result, parameters)
ZR8_ENTRY_POINTS(ZR8_STUB)
#undef ZR8_STUB
#undef ZR8_STUB_uncalled
#undef ZR8_STUB_called
#pragma GCC diagnostic pop

}  // extern "C"
