#include "FakeState.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/WideText.h"

namespace fake {
namespace {

const char* const kKindNames[] = {"file", "audio", "video", "bufferpool", "imagepool", "image"};

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

State& State::Get() {
  // Never destroyed: read threads and static destructors of the client may still call in.
  static State* state = new State();
  return *state;
}

State::State() {
  std::ifstream config("fake_config.txt");
  std::string line;
  while (std::getline(config, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.find_first_of(" \t");
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : Trim(line.substr(space));
    if (key == "fail" || key == "result") {
      std::istringstream words(value);
      Forcing forcing{};
      words >> forcing.entry;
      if (key == "fail") {
        forcing.value = static_cast<int32_t>(0x80004005);
      } else {
        words >> forcing.value;
      }
      if (!(words >> forcing.call)) forcing.call = 0;
      forcings_.push_back(forcing);
    } else {
      entries_.push_back({key, value});
    }
  }
}

std::optional<std::string> State::Value(const std::string& key, const std::string& path) const {
  if (!path.empty()) {
    const std::string scoped = key + "@" + path;
    for (const Entry& entry : entries_) {
      if (entry.key == scoped) return entry.value;
    }
  }
  for (const Entry& entry : entries_) {
    if (entry.key == key) return entry.value;
  }
  return std::nullopt;
}

int64_t State::Integer(const std::string& key, int64_t fallback, const std::string& path) const {
  const auto value = Value(key, path);
  return value ? std::strtoll(value->c_str(), nullptr, 0) : fallback;
}

double State::Real(const std::string& key, double fallback, const std::string& path) const {
  const auto value = Value(key, path);
  return value ? std::strtod(value->c_str(), nullptr) : fallback;
}

std::string State::Text(const std::string& key, const std::string& fallback,
                        const std::string& path) const {
  return Value(key, path).value_or(fallback);
}

std::optional<int64_t> State::Forced(const char* entry) {
  int64_t call = 0;
  for (auto& count : callCounts_) {
    if (count.first == entry) call = ++count.second;
  }
  if (call == 0) {
    callCounts_.emplace_back(entry, 1);
    call = 1;
  }
  std::optional<int64_t> result;
  for (const Forcing& forcing : forcings_) {
    if (forcing.entry == entry && (forcing.call == 0 || forcing.call == call)) {
      result = forcing.value;
    }
  }
  return result;
}

Handle* State::NewHandle(HandleKind kind) {
  auto* handle = new Handle{};
  handle->kind = kind;
  const int kindIndex = static_cast<int>(kind);
  handle->serial = ++counters_[kindIndex];
  handle->name = std::string(kKindNames[kindIndex]) + std::to_string(handle->serial);
  handles_.push_back(handle);
  return handle;
}

Handle* State::Use(const char* entry, void* pointer, HandleKind kind) {
  for (Handle* handle : handles_) {
    if (handle != pointer) continue;
    if (handle->kind != kind) break;
    if (handle->released) {
      Log(std::string("!! ") + entry + " used released " + handle->name);
      return nullptr;
    }
    return handle;
  }
  Log(std::string("!! ") + entry + " got an unknown handle " + NameOf(pointer));
  return nullptr;
}

void State::Release(const char* entry, void* pointer, HandleKind kind) {
  if (pointer == nullptr) return;  // deleting a null handle is harmless
  for (Handle* handle : handles_) {
    if (handle != pointer || handle->kind != kind) continue;
    if (handle->released) {
      Log(std::string("!! ") + entry + " released " + handle->name + " twice");
    } else if (handle->locked) {
      Log(std::string("!! ") + entry + " released " + handle->name + " while locked");
    }
    handle->released = true;
    return;
  }
  Log(std::string("!! ") + entry + " got an unknown handle " + NameOf(pointer));
}

std::string State::NameOf(void* pointer) {
  if (pointer == nullptr) return "null";
  State& state = Get();
  for (Handle* handle : state.handles_) {
    if (handle == pointer) return handle->name;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
  return text;
}

void State::Log(const std::string& line) {
  // Opened per line so that the record survives however the client process ends.
  if (std::FILE* log = std::fopen("fake_calls.log", "ab")) {
    std::fwrite(line.data(), 1, line.size(), log);
    std::fputc('\n', log);
    std::fclose(log);
  }
}

std::string Narrow(const wchar_t* text) {
  return text == nullptr ? std::string() : platform::WideToBytes(text);
}

std::string Quote(const wchar_t* text) {
  return text == nullptr ? "null" : "\"" + Narrow(text) + "\"";
}

}  // namespace fake
