// The fake reader library: all 76 entry points, answering as fake_config.txt says and recording
// every call in fake_calls.log (see FakeState.h).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "FakeContent.h"
#include "FakeState.h"
#include "platform/WideText.h"
#include "reader/AudioRecords.h"
#include "reader/EntryPointList.h"
#include "reader/HardwareRecords.h"
#include "reader/OpenCLContextInfo.h"
#include "reader/VideoRecords.h"

// The exported prototypes come from the same list as the client's table.
extern "C" {
#define ZR8_DECLARE_EXPORT(name, result, parameters, use) result name parameters;
ZR8_ENTRY_POINTS(ZR8_DECLARE_EXPORT)
#undef ZR8_DECLARE_EXPORT
}

namespace {

using fake::Handle;
using fake::HandleKind;
using fake::State;

constexpr int32_t kFail = static_cast<int32_t>(0x80004005);
constexpr int32_t kInvalidArgument = static_cast<int32_t>(0x80070057);
constexpr int32_t kNotImplemented = static_cast<int32_t>(0x80004001);

// One call: holds the fake's lock, collects the log line, applies a forced result.
class Call {
 public:
  explicit Call(const char* entry)
      : state_(State::Get()), lock_(state_.mutex), entry_(entry), line_(entry) {
    forced_ = state_.Forced(entry);
  }

  Call& Arg(const std::string& text) {
    line_ += ' ';
    line_ += text;
    return *this;
  }
  Call& Arg(int64_t value) { return Arg(std::to_string(value)); }
  Call& Handle(void* pointer) { return Arg(State::NameOf(pointer)); }

  bool forced() const { return forced_.has_value(); }
  int64_t forcedValue() const { return *forced_; }
  // The result: the forced one when the test chose one, else fallback.
  int64_t Pick(int64_t fallback) const { return forced_.value_or(fallback); }

  // Writes the log line with the result and what the call wrote, and returns the result.
  template <typename T>
  T Finish(T result, const std::string& written = {}) {
    Done(written.empty() ? ToText(result) : ToText(result) + " " + written);
    return result;
  }
  void Done(const std::string& resultText) { state_.Log(line_ + " => " + resultText); }

  State& state() { return state_; }
  const char* entry() const { return entry_; }

 private:
  template <typename T>
  static std::string ToText(T value) {
    if constexpr (std::is_same_v<T, double>) {
      std::ostringstream text;
      text << value;
      return text.str();
    } else {
      return std::to_string(value);
    }
  }

  State& state_;
  std::lock_guard<std::recursive_mutex> lock_;
  const char* entry_;
  std::string line_;
  std::optional<int64_t> forced_;
};

int32_t Status(Call& call, int32_t fallback = 0) {
  return call.Finish(static_cast<int32_t>(call.Pick(fallback)));
}

// An entry point that the client never calls: logged by name; a status of "not implemented", a
// null pointer, or a number forced by the test (0 otherwise).
template <typename Result>
Result NotCalled(const char* entry) {
  Call call(entry);
  if constexpr (std::is_pointer_v<Result>) {
    call.Done("null");
    return nullptr;
  } else if constexpr (std::is_same_v<Result, int32_t>) {
    return Status(call, kNotImplemented);
  } else {
    return call.Finish(static_cast<Result>(call.Pick(0)));
  }
}

// A forced negative status: the call fails before it does anything.
bool ForcedFailure(Call& call) {
  return call.forced() && call.forcedValue() < 0;
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
  return handle->kind == HandleKind::kFile ? handle->path : FilePath(handle->file);
}

// An audio value: "audio<index>.<field>" for the stream first, then "audio.<field>".
int64_t AudioInteger(State& state, const Handle* audio, const char* field, int64_t fallback) {
  const std::string path = FilePath(audio);
  const auto own = state.Value("audio" + std::to_string(audio->index) + "." + field, path);
  if (own) return std::strtoll(own->c_str(), nullptr, 0);
  return state.Integer(std::string("audio.") + field, fallback, path);
}

int64_t FrameCount(State& state, const Handle* video) {
  return state.Integer("frameCount", 10, FilePath(video));
}

template <typename T>
T ReadAt(const void* record, size_t offset) {
  T value{};
  std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof(T));
  return value;
}

// Every field of a DecodePrefs by its offset, so that a test sees exactly what the record holds.
std::string DescribePrefs(const DecodePrefs* prefs) {
  if (prefs == nullptr) return "null";
  std::ostringstream text;
  auto pointer = [&](size_t offset) { return State::NameOf(ReadAt<void*>(prefs, offset)); };
  text << "{0:" << ReadAt<double>(prefs, 0) << " 8:" << ReadAt<double>(prefs, 8)
       << " 16:" << +ReadAt<uint8_t>(prefs, 16) << " 20:" << ReadAt<int32_t>(prefs, 20)
       << " 24:" << ReadAt<int32_t>(prefs, 24) << " 28:" << ReadAt<int32_t>(prefs, 28)
       << " 32:" << ReadAt<int32_t>(prefs, 32) << " 36:" << +ReadAt<uint8_t>(prefs, 36)
       << " 40:" << ReadAt<double>(prefs, 40) << " 48:" << +ReadAt<uint8_t>(prefs, 48)
       << " 52:" << ReadAt<int32_t>(prefs, 52) << " 56:" << +ReadAt<uint8_t>(prefs, 56)
       << " 60:" << ReadAt<int32_t>(prefs, 60) << " 64:" << pointer(64) << " 72:" << pointer(72)
       << " 80:" << +ReadAt<uint8_t>(prefs, 80) << " 88:" << ReadAt<int64_t>(prefs, 88)
       << " 96:" << ReadAt<int32_t>(prefs, 96) << " 104:" << pointer(104) << " 112:" << pointer(112)
       << "}";
  return text.str();
}

int32_t OpenFile(Call& call, void** file, const wchar_t* path) {
  if (ForcedFailure(call)) return Status(call);
  if (file == nullptr || path == nullptr) return call.Finish(kInvalidArgument);
  Handle* handle = call.state().NewHandle(HandleKind::kFile);
  handle->path = fake::Narrow(path);
  *file = handle;
  return call.Finish(static_cast<int32_t>(call.Pick(0)), handle->name);
}

int32_t CreatePool(Call& call, void** pool, HandleKind kind) {
  if (ForcedFailure(call)) return Status(call);
  if (pool == nullptr) return call.Finish(kInvalidArgument);
  Handle* handle = call.state().NewHandle(kind);
  *pool = handle;
  return call.Finish(static_cast<int32_t>(call.Pick(0)), handle->name);
}

// A release: logs the handle, then gives it back.
int32_t Delete(Call& call, void* pointer, HandleKind kind) {
  call.Handle(pointer);
  call.state().Release(call.entry(), pointer, kind);
  return Status(call);
}

// "kind:vendorId:name;kind:vendorId:name" into records.
std::vector<HardwareDecoderInfo> DecoderList(const std::string& text) {
  std::vector<HardwareDecoderInfo> list;
  std::istringstream entries(text);
  std::string entry;
  while (std::getline(entries, entry, ';')) {
    if (entry.empty()) continue;
    HardwareDecoderInfo info{};
    const size_t first = entry.find(':');
    const size_t second = entry.find(':', first + 1);
    info.kind = static_cast<int32_t>(std::strtol(entry.substr(0, first).c_str(), nullptr, 0));
    info.vendorUniqueId = static_cast<uint32_t>(
        std::strtoul(entry.substr(first + 1, second - first - 1).c_str(), nullptr, 0));
    const std::string name = second == std::string::npos ? "" : entry.substr(second + 1);
    // The name's UTF-8 as UTF-16 (bytes that are not UTF-8 become lone surrogates, U+DC80 to
    // U+DCFF). A name of 128 code units or more fills the field without a terminating zero.
    const std::u16string units = platform::BytesToUtf16(name);
    std::copy_n(units.begin(), std::min<size_t>(units.size(), 128), info.deviceName);
    list.push_back(info);
  }
  return list;
}

int32_t SupportedDecoders(Call& call, int32_t capacity, HardwareDecoderInfo* records,
                          int32_t* count) {
  if (ForcedFailure(call)) return Status(call);
  State& state = call.state();
  std::string text = state.Text("decoders", "");
  if (capacity > 0) text = state.Text("decoders.second", text);
  const auto list = DecoderList(text);
  if (records != nullptr) {
    std::copy_n(list.begin(), std::min<size_t>(list.size(), static_cast<size_t>(capacity)),
                records);
  }
  // "decoders.count n": the count reported, whatever the list holds.
  const int64_t reported = state.Integer("decoders.count", static_cast<int64_t>(list.size()));
  if (count != nullptr) *count = static_cast<int32_t>(reported);
  return call.Finish(static_cast<int32_t>(call.Pick(0)), std::to_string(reported));
}

int32_t DetectionResults(Call& call, void* results) {
  if (ForcedFailure(call)) return Status(call);
  State& state = call.state();
  const auto list = DecoderList(state.Text("decoders", ""));
  const auto count =
      static_cast<uint32_t>(state.Integer("detection.count", static_cast<int64_t>(list.size())));
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

}  // namespace

extern "C" {

// Set-up.

int32_t ZR8READER_Initialize() {
  Call call(__func__);
  return Status(call);
}

int32_t ZR8READER_Uninitialize() {
  Call call(__func__);
  return Status(call);
}

int32_t ZR8READER_IsSupported(const wchar_t* path) {
  Call call(__func__);
  call.Arg(fake::Quote(path));
  const int64_t supported = call.state().Integer("supported", 1, fake::Narrow(path));
  return call.Finish(static_cast<int32_t>(call.Pick(supported)));
}

// Files.

int32_t ZR8READER_OpenReadFile(void** file, const wchar_t* path, int32_t flags) {
  Call call(__func__);
  call.Arg(fake::Quote(path)).Arg(flags);
  return OpenFile(call, file, path);
}

int32_t ZR8READER_OpenReadFileEx(void** file, const wchar_t* path, int32_t flags,
                                 void* bufferPool) {
  Call call(__func__);
  call.Arg(fake::Quote(path)).Arg(flags).Handle(bufferPool);
  return OpenFile(call, file, path);
}

int32_t ZR8READER_OpenReadFileEx2(void** file, const wchar_t* path, int32_t flags, void* bufferPool,
                                  void* gpuImagePool) {
  Call call(__func__);
  call.Arg(fake::Quote(path)).Arg(flags).Handle(bufferPool).Handle(gpuImagePool);
  return OpenFile(call, file, path);
}

int32_t ZR8READER_ReadFile_CloseFile(void* file) {
  Call call(__func__);
  call.Handle(file);
  if (Handle* handle = call.state().Use(call.entry(), file, HandleKind::kFile)) {
    handle->closed = true;
  }
  return Status(call);
}

int32_t ZR8READER_ReadFile_IsFileOpen(void* file) {
  Call call(__func__);
  call.Handle(file);
  const Handle* handle = call.state().Use(call.entry(), file, HandleKind::kFile);
  return call.Finish(static_cast<int32_t>(call.Pick(handle != nullptr && !handle->closed)));
}

int32_t ZR8READER_ReadFile_GetFileName(void* file, wchar_t* name, int32_t capacity) {
  Call call(__func__);
  call.Handle(file).Arg(capacity);
  const Handle* handle = call.state().Use(call.entry(), file, HandleKind::kFile);
  if (handle == nullptr || ForcedFailure(call)) return Status(call, kInvalidArgument);
  CopyText(call.state().Text("fileName", handle->path, handle->path), name, capacity);
  return Status(call);
}

int64_t ZR8READER_ReadFile_GetFileLength(void* file) {
  Call call(__func__);
  call.Handle(file);
  const Handle* handle = call.state().Use(call.entry(), file, HandleKind::kFile);
  return call.Finish(call.Pick(call.state().Integer("fileLength", 900000000, FilePath(handle))));
}

int32_t ZR8READER_ReadFile_GetAudioStreamCount(void* file) {
  Call call(__func__);
  call.Handle(file);
  const Handle* handle = call.state().Use(call.entry(), file, HandleKind::kFile);
  const int64_t count = call.state().Integer("audioStreams", 1, FilePath(handle));
  return call.Finish(static_cast<int32_t>(call.Pick(count)));
}

int32_t ZR8READER_ReadFile_GetVideoStreamCount(void* file) {
  Call call(__func__);
  call.Handle(file);
  const Handle* handle = call.state().Use(call.entry(), file, HandleKind::kFile);
  const int64_t count = call.state().Integer("videoStreams", 1, FilePath(handle));
  return call.Finish(static_cast<int32_t>(call.Pick(count)));
}

int32_t ZR8READER_ReadFile_OpenAudioStream(void* file, int32_t index, void** audio) {
  Call call(__func__);
  call.Handle(file).Arg(index);
  Handle* owner = call.state().Use(call.entry(), file, HandleKind::kFile);
  if (ForcedFailure(call)) return Status(call);
  const int64_t count = call.state().Integer("audioStreams", 1, FilePath(owner));
  if (owner == nullptr || audio == nullptr || index < 0 || index >= count) {
    return call.Finish(kInvalidArgument);
  }
  Handle* handle = call.state().NewHandle(HandleKind::kAudio);
  handle->file = owner;
  handle->index = index;
  *audio = handle;
  return call.Finish(static_cast<int32_t>(call.Pick(0)), handle->name);
}

int32_t ZR8READER_ReadFile_OpenVideoStream(void* file, int32_t index, const DecodePrefs* prefs,
                                           void* imagePool, void** video) {
  Call call(__func__);
  call.Handle(file).Arg(index).Arg(DescribePrefs(prefs)).Handle(imagePool);
  Handle* owner = call.state().Use(call.entry(), file, HandleKind::kFile);
  if (imagePool != nullptr) call.state().Use(call.entry(), imagePool, HandleKind::kImagePool);
  if (ForcedFailure(call)) return Status(call);
  const int64_t count = call.state().Integer("videoStreams", 1, FilePath(owner));
  if (owner == nullptr || video == nullptr || index < 0 || index >= count) {
    return call.Finish(kInvalidArgument);
  }
  Handle* handle = call.state().NewHandle(HandleKind::kVideo);
  handle->file = owner;
  handle->index = index;
  if (prefs != nullptr) {
    handle->bytes.resize(sizeof(DecodePrefs));
    std::memcpy(handle->bytes.data(), prefs, sizeof(DecodePrefs));
  }
  *video = handle;
  return call.Finish(static_cast<int32_t>(call.Pick(0)), handle->name);
}

// Audio streams.

int64_t ZR8READER_ReadAudioStream_GetStreamLength(void* audio) {
  Call call(__func__);
  call.Handle(audio);
  const Handle* handle = call.state().Use(call.entry(), audio, HandleKind::kAudio);
  if (handle == nullptr) return call.Finish(call.Pick(0));
  return call.Finish(call.Pick(AudioInteger(call.state(), handle, "length", 10000000)));
}

int64_t ZR8READER_ReadAudioStream_GetSampleCount(void* audio) {
  Call call(__func__);
  call.Handle(audio);
  const Handle* handle = call.state().Use(call.entry(), audio, HandleKind::kAudio);
  if (handle == nullptr) return call.Finish(call.Pick(0));
  return call.Finish(call.Pick(AudioInteger(call.state(), handle, "sampleCount", 48000)));
}

int32_t ZR8READER_ReadAudioStream_GetCompressedFormat(void* audio, AudioCompressedFormat* format) {
  Call call(__func__);
  call.Handle(audio);
  const Handle* handle = call.state().Use(call.entry(), audio, HandleKind::kAudio);
  if (ForcedFailure(call)) return Status(call);
  if (handle == nullptr || format == nullptr) return call.Finish(kInvalidArgument);
  State& state = call.state();
  format->format = static_cast<uint32_t>(AudioInteger(state, handle, "format", 0x666C3332));
  format->sampleRate = state.Real("audio.sampleRate", 48000.0, FilePath(handle));
  format->channels = static_cast<int32_t>(AudioInteger(state, handle, "channels", 2));
  format->bitDepth = static_cast<int32_t>(AudioInteger(state, handle, "bitDepth", 16));
  format->avgBitRate = static_cast<uint32_t>(AudioInteger(state, handle, "avgBitRate", 128000));
  format->maxBitRate = static_cast<uint32_t>(AudioInteger(state, handle, "maxBitRate", 160000));
  format->fourCC = static_cast<uint32_t>(AudioInteger(state, handle, "fourCC", 0x6D703461));
  return Status(call);
}

int32_t ZR8READER_ReadAudioStream_GetSamples(void* audio, int64_t startFrame, float* buffer,
                                             int64_t maxFrames, int64_t* framesRead) {
  Call call(__func__);
  call.Handle(audio).Arg(startFrame).Arg(maxFrames);
  Handle* handle = call.state().Use(call.entry(), audio, HandleKind::kAudio);
  if (ForcedFailure(call)) return Status(call);
  if (handle == nullptr || buffer == nullptr || framesRead == nullptr || maxFrames < 0) {
    return call.Finish(kInvalidArgument);
  }
  State& state = call.state();
  const int64_t sampleCount = AudioInteger(state, handle, "sampleCount", 48000);
  const int64_t available =
      AudioInteger(state, handle, "available", std::max<int64_t>(0, sampleCount));
  const auto channels = static_cast<int32_t>(AudioInteger(state, handle, "channels", 2));
  // "audio.blocks 4096 100 0": the most frames each successive call delivers.
  int64_t frames = std::clamp<int64_t>(available - startFrame, 0, maxFrames);
  std::istringstream blocks(state.Text("audio.blocks", "", FilePath(handle)));
  int64_t block = 0;
  for (int64_t call = 0; call <= handle->frame && (blocks >> block); ++call) {
    if (call == handle->frame) frames = std::min(frames, block);
  }
  ++handle->frame;  // the number of sample requests so far
  // One buffer serves every block of a stream: another one is misuse.
  static std::vector<std::pair<const Handle*, const float*>> buffers;
  const auto known = std::find_if(buffers.begin(), buffers.end(),
                                  [&](const auto& entry) { return entry.first == handle; });
  if (known == buffers.end()) {
    buffers.emplace_back(handle, buffer);
  } else if (known->second != buffer) {
    state.Log(std::string("!! ") + call.entry() + " with another buffer");
  }
  for (int64_t frame = 0; frame < frames; ++frame) {
    for (int32_t channel = 0; channel < channels; ++channel) {
      buffer[frame * channels + channel] = fake::SampleValue(startFrame + frame, channel);
    }
  }
  // "audio.overcount n": reports n frames more than it delivered.
  *framesRead = frames + AudioInteger(state, handle, "overcount", 0);
  return call.Finish(static_cast<int32_t>(call.Pick(0)), std::to_string(*framesRead));
}

// Video streams.

int64_t ZR8READER_ReadVideoStream_GetStreamLength(void* video) {
  Call call(__func__);
  call.Handle(video);
  const Handle* handle = call.state().Use(call.entry(), video, HandleKind::kVideo);
  if (handle == nullptr) return call.Finish(call.Pick(0));
  const int64_t fallback = FrameCount(call.state(), handle) * 400000;
  return call.Finish(call.Pick(call.state().Integer("videoLength", fallback, FilePath(handle))));
}

int64_t ZR8READER_ReadVideoStream_GetFrameCount(void* video) {
  Call call(__func__);
  call.Handle(video);
  const Handle* handle = call.state().Use(call.entry(), video, HandleKind::kVideo);
  if (handle == nullptr) return call.Finish(call.Pick(0));
  return call.Finish(call.Pick(FrameCount(call.state(), handle)));
}

int32_t ZR8READER_ReadVideoStream_GetFormat(void* video, VideoFormat* format) {
  Call call(__func__);
  call.Handle(video);
  const Handle* handle = call.state().Use(call.entry(), video, HandleKind::kVideo);
  if (ForcedFailure(call)) return Status(call);
  if (handle == nullptr || format == nullptr) return call.Finish(kInvalidArgument);
  State& state = call.state();
  const std::string path = FilePath(handle);
  if (state.Integer("video.leaveFormat", 0, path) == 0) {
    format->pixelType = static_cast<int32_t>(state.Integer("video.pixelType", 0x2000, path));
    format->width = static_cast<uint32_t>(state.Integer("video.width", 16, path));
    format->height = static_cast<uint32_t>(state.Integer("video.height", 8, path));
    format->interlace = static_cast<int32_t>(state.Integer("video.interlace", 0, path));
    format->aspectRatio = state.Real("video.aspectRatio", 1.0, path);
    format->frameRate = state.Real("video.frameRate", 25.0, path);
  }
  return Status(call);
}

int32_t ZR8READER_ReadVideoStream_GetCompressedFormat(void* video, VideoCompressedFormat* format) {
  Call call(__func__);
  call.Handle(video);
  const Handle* handle = call.state().Use(call.entry(), video, HandleKind::kVideo);
  if (ForcedFailure(call)) return Status(call);
  if (handle == nullptr || format == nullptr) return call.Finish(kInvalidArgument);
  format->fourCC =
      static_cast<uint32_t>(call.state().Integer("video.fourCC", 0x61766331, FilePath(handle)));
  return Status(call);
}

int32_t ZR8READER_ReadVideoStream_GetFrame(void* video, int64_t frameIndex, void** image) {
  Call call(__func__);
  call.Handle(video).Arg(frameIndex);
  Handle* stream = call.state().Use(call.entry(), video, HandleKind::kVideo);
  if (ForcedFailure(call)) return Status(call);
  State& state = call.state();
  const std::string path = FilePath(stream);
  if (stream == nullptr || image == nullptr || frameIndex < 0 ||
      frameIndex >= FrameCount(state, stream) ||
      frameIndex == state.Integer("failFrame", -1, path)) {
    return call.Finish(kFail);
  }
  Handle* handle = state.NewHandle(HandleKind::kImage);
  handle->stream = stream;
  handle->frame = frameIndex;
  handle->bytes = fake::PictureBytes(frameIndex, stream->serial,
                                     static_cast<uint32_t>(state.Integer("imageSize", 192, path)));
  *image = handle;
  return call.Finish(static_cast<int32_t>(call.Pick(0)), handle->name);
}

int32_t ZR8READER_ReadVideoStream_GetDecodePrefs(void* video, DecodePrefs* prefs) {
  Call call(__func__);
  call.Handle(video).Arg(DescribePrefs(prefs));
  const Handle* handle = call.state().Use(call.entry(), video, HandleKind::kVideo);
  if (ForcedFailure(call)) return Status(call);
  if (handle == nullptr || prefs == nullptr) return call.Finish(kInvalidArgument);
  // What is in effect: what was requested.
  if (handle->bytes.size() == sizeof(DecodePrefs)) {
    std::memcpy(prefs, handle->bytes.data(), sizeof(DecodePrefs));
  }
  return Status(call);
}

// Pools and images.

int32_t ZR8READER_CreateBufferPoolCPU(void** pool) {
  Call call(__func__);
  return CreatePool(call, pool, HandleKind::kBufferPool);
}

int32_t ZR8READER_CreateImagePoolCPU(void** pool) {
  Call call(__func__);
  return CreatePool(call, pool, HandleKind::kImagePool);
}

int32_t ZR8READER_CreateImagePoolGPU(const OpenCLContextInfo* info, void** pool) {
  Call call(__func__);
  if (info == nullptr) {
    call.Arg("null");
  } else {
    // The OpenCL objects differ from run to run: record only what a test can rely on.
    const bool tailZero = std::all_of(std::begin(info->reserved48), std::end(info->reserved48),
                                      [](uint8_t byte) { return byte == 0; });
    call.Arg(std::string("device=") + (info->device ? "set" : "null"))
        .Arg(std::string("platform=") + (info->platform ? "set" : "null"))
        .Arg(std::string("context=") + (info->context ? "set" : "null"))
        .Arg(std::string("queue=") + (info->commandQueue ? "set" : "null"))
        .Arg(std::string("queues=") +
             (info->commandQueue == info->commandQueue2 && info->commandQueue == info->commandQueue3
                  ? "same"
                  : "differ"))
        .Arg(std::string("tail=") + (tailZero ? "zero" : "set"));
  }
  return CreatePool(call, pool, HandleKind::kImagePool);
}

void* ZR8READER_Image_LockForCPU(void* image, int32_t access) {
  Call call(__func__);
  call.Handle(image).Arg(access);
  Handle* handle = call.state().Use(call.entry(), image, HandleKind::kImage);
  if (handle == nullptr || ForcedFailure(call)) {
    call.Done("null");
    return nullptr;
  }
  if (handle->locked) call.state().Log(std::string("!! ") + call.entry() + " locked twice");
  handle->locked = true;
  call.Done("bytes");
  return handle->bytes.data();
}

int32_t ZR8READER_Image_Unlock(void* image) {
  Call call(__func__);
  call.Handle(image);
  Handle* handle = call.state().Use(call.entry(), image, HandleKind::kImage);
  if (handle != nullptr) {
    if (!handle->locked) call.state().Log(std::string("!! ") + call.entry() + " not locked");
    handle->locked = false;
  }
  return Status(call);
}

uint32_t ZR8READER_Image_TotalSize(void* image) {
  Call call(__func__);
  call.Handle(image);
  const Handle* handle = call.state().Use(call.entry(), image, HandleKind::kImage);
  const auto size = handle == nullptr ? 0 : handle->bytes.size();
  return call.Finish(static_cast<uint32_t>(call.Pick(static_cast<int64_t>(size))));
}

// Releases.

int32_t ZR8READER_DeleteBufferPoolHandle(void* pool) {
  Call call(__func__);
  return Delete(call, pool, HandleKind::kBufferPool);
}

int32_t ZR8READER_DeleteImagePoolHandle(void* pool) {
  Call call(__func__);
  return Delete(call, pool, HandleKind::kImagePool);
}

int32_t ZR8READER_DeleteImageHandle(void* image) {
  Call call(__func__);
  return Delete(call, image, HandleKind::kImage);
}

int32_t ZR8READER_DeleteReadFileHandle(void* file) {
  Call call(__func__);
  return Delete(call, file, HandleKind::kFile);
}

int32_t ZR8READER_DeleteReadAudioStreamHandle(void* audio) {
  Call call(__func__);
  return Delete(call, audio, HandleKind::kAudio);
}

int32_t ZR8READER_DeleteReadVideoStreamHandle(void* video) {
  Call call(__func__);
  return Delete(call, video, HandleKind::kVideo);
}

// Hardware.

int32_t ZR8READER_InitCUDA(int32_t device, int32_t* cudaId, void** cudaHandle1, void** cudaHandle2,
                           wchar_t* text, int32_t capacity) {
  Call call(__func__);
  call.Arg(device).Arg(capacity);
  if (ForcedFailure(call)) return Status(call);
  *cudaId = static_cast<int32_t>(call.state().Integer("cuda.id", 3));
  *cudaHandle1 = reinterpret_cast<void*>(0xC1);
  *cudaHandle2 = reinterpret_cast<void*>(0xC2);
  CopyText(call.state().Text("cuda.text", "Fake CUDA device"), text, capacity);
  return call.Finish(static_cast<int32_t>(call.Pick(0)), std::to_string(*cudaId) + " " +
                                                             State::NameOf(*cudaHandle1) + " " +
                                                             State::NameOf(*cudaHandle2));
}

int32_t ZR8READER_UninitCUDA(int32_t* cudaId, void** cudaHandle1, void** cudaHandle2) {
  Call call(__func__);
  call.Arg(*cudaId).Handle(*cudaHandle1).Handle(*cudaHandle2);
  return Status(call);
}

int32_t ZR8READER_InitAMF(int32_t device, int32_t mode, void** amfHandle1, void** amfHandle2,
                          wchar_t* text, int32_t capacity) {
  Call call(__func__);
  call.Arg(device).Arg(mode).Arg(capacity);
  if (ForcedFailure(call)) return Status(call);
  *amfHandle1 = reinterpret_cast<void*>(0xA1);
  *amfHandle2 = reinterpret_cast<void*>(0xA2);
  CopyText(call.state().Text("amf.text", "Fake AMF device"), text, capacity);
  return call.Finish(static_cast<int32_t>(call.Pick(0)),
                     State::NameOf(*amfHandle1) + " " + State::NameOf(*amfHandle2));
}

int32_t ZR8READER_UninitAMF(void** amfHandle1, void** amfHandle2) {
  Call call(__func__);
  call.Handle(*amfHandle1).Handle(*amfHandle2);
  return Status(call);
}

int32_t ZR8READER_InitQSV(int32_t device, int32_t mode, void** qsvHandle, wchar_t* text,
                          int32_t capacity) {
  Call call(__func__);
  call.Arg(device).Arg(mode).Arg(capacity);
  if (ForcedFailure(call)) return Status(call);
  *qsvHandle = reinterpret_cast<void*>(0x51);
  CopyText(call.state().Text("qsv.text", "Fake QSV device"), text, capacity);
  return call.Finish(static_cast<int32_t>(call.Pick(0)), State::NameOf(*qsvHandle));
}

int32_t ZR8READER_UninitQSV(void** qsvHandle) {
  Call call(__func__);
  call.Handle(qsvHandle == nullptr ? nullptr : *qsvHandle);
  return Status(call);
}

int32_t ZR8READER_GetSupportedHardwareDecoders(int32_t capacity, HardwareDecoderInfo* records,
                                               int32_t* count) {
  Call call(__func__);
  call.Arg(capacity).Arg(records == nullptr ? "null" : "records");
  return SupportedDecoders(call, capacity, records, count);
}

int32_t ZR8READER_GetSupportedHardwareDecodersOOP(int32_t capacity, HardwareDecoderInfo* records,
                                                  int32_t* count, int32_t timeoutMs,
                                                  int32_t useCache) {
  Call call(__func__);
  call.Arg(capacity).Arg(records == nullptr ? "null" : "records").Arg(timeoutMs).Arg(useCache);
  return SupportedDecoders(call, capacity, records, count);
}

int32_t ZR8READER_GetHardwareDetectionResults(void* results, int32_t dxgiEnumPreference) {
  Call call(__func__);
  call.Arg(dxgiEnumPreference);
  return DetectionResults(call, results);
}

int32_t ZR8READER_GetHardwareDetectionResultsOOP(void* results, int32_t timeoutMs, int32_t useCache,
                                                 int32_t dxgiEnumPreference) {
  Call call(__func__);
  call.Arg(timeoutMs).Arg(useCache).Arg(dxgiEnumPreference);
  return DetectionResults(call, results);
}

// Plug-in preferences.

int32_t ZR8READER_FIOPluginPrefs_SetHardwareDecoderPreference(int32_t preference) {
  Call call(__func__);
  call.Arg(preference);
  return Status(call);
}

int32_t ZR8READER_FIOPluginPrefs_SetCUDAContext(int32_t cudaId, void* cudaHandle1,
                                                void* cudaHandle2) {
  Call call(__func__);
  call.Arg(cudaId).Handle(cudaHandle1).Handle(cudaHandle2);
  return Status(call);
}

int32_t ZR8READER_FIOPluginPrefs_SetAMFContext(int32_t device, int32_t mode, void* amfHandle1,
                                               void* amfHandle2) {
  Call call(__func__);
  call.Arg(device).Arg(mode).Handle(amfHandle1).Handle(amfHandle2);
  return Status(call);
}

// The entry points that the client never calls: each logs its name and fails, or answers null.
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
