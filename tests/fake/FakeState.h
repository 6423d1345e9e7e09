// The fake reader library's state: the answers a test chose, the record of every call, and the
// accounting of every handle it gave out.
//
// A test writes its answers to "fake_config.txt" in the current directory, one per line:
//   <key> <value>            a value; the rest of the line is the value
//   <key>@<file> <value>     the same for one file only (the path as the client passed it)
//   fail <EntryPoint> [n]    the entry point fails: every call, or only its n-th call (from 1)
//   result <EntryPoint> <v> [n]   the entry point returns v: every call, or only its n-th call
// The fake appends one line per call to "fake_calls.log":
//   <EntryPoint> <arguments> => <result> <values it wrote>
// Handles appear by name (file1, audio1, video1, bufferpool1, imagepool1, image1); other pointers
// as hex, null as "null";
// misuse of a handle adds a line that starts with "!!".
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace fake {

enum class HandleKind { kFile, kAudio, kVideo, kBufferPool, kImagePool, kImage };

struct Handle {
  HandleKind kind;
  std::string name;
  bool released = false;
  // Files: the path as opened, and whether CloseFile was called.
  std::string path;
  bool closed = false;
  // Streams: the owning file, the stream index, the serial among streams of this kind (from 1).
  Handle* file = nullptr;
  int32_t index = 0;
  int32_t serial = 0;
  // Images: the frame, its owning stream, its bytes and whether it is locked.
  Handle* stream = nullptr;
  int64_t frame = 0;
  std::vector<uint8_t> bytes;
  bool locked = false;
};

class State {
 public:
  static State& Get();

  // Everything below is called with the lock held (see Call).
  std::recursive_mutex mutex;

  // The configured text for key, looking first at key@path when path is given.
  std::optional<std::string> Value(const std::string& key, const std::string& path = {}) const;
  int64_t Integer(const std::string& key, int64_t fallback, const std::string& path = {}) const;
  double Real(const std::string& key, double fallback, const std::string& path = {}) const;
  std::string Text(const std::string& key, const std::string& fallback,
                   const std::string& path = {}) const;

  // Counts this call of entry and returns the result that the test forces for it, if any.
  std::optional<int64_t> Forced(const char* entry);

  Handle* NewHandle(HandleKind kind);
  // The live handle behind pointer, or null (and a "!!" line) when it is unknown or released.
  Handle* Use(const char* entry, void* pointer, HandleKind kind);
  // Marks the handle released; a "!!" line when it was already released or is unknown.
  void Release(const char* entry, void* pointer, HandleKind kind);
  static std::string NameOf(void* pointer);

  void Log(const std::string& line);

 private:
  State();
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Forcing {
    std::string entry;
    int64_t value;
    int64_t call;  // 0: every call
  };
  std::vector<Entry> entries_;
  std::vector<Forcing> forcings_;
  std::vector<std::pair<std::string, int64_t>> callCounts_;
  std::vector<Handle*> handles_;
  int counters_[6] = {};
};

// Formatting helpers for log lines.
std::string Quote(const wchar_t* text);
std::string Narrow(const wchar_t* text);

}  // namespace fake
