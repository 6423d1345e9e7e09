// Stand-ins for the machine: a directory tree in place of /sys, /dev and /proc, and a CUDA driver
// table whose answers a test sets.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "zr8hardware/Hardware.h"

namespace fake {

// A fresh directory, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::filesystem::path& path, const std::string& content);
std::string ReadFile(const std::filesystem::path& path);
// A shell script at path, executable.
void WriteScript(const std::filesystem::path& path, const std::string& body);

class FakeMachine {
 public:
  std::string Root() const { return dir_.Path().string(); }
  // renderD<number> in /dev/dri and its PCI device in sysfs.
  void AddRenderNode(int number, uint32_t vendor, uint32_t device, const std::string& driver);
  // Points the node's device at another kernel driver.
  void SetDriver(int number, const std::string& driver);
  // Replaces the node in /dev/dri by a directory, which no one can open read-write.
  void MakeUnopenable(int number);
  // A file below the root ("/proc/driver/nvidia/version").
  void Write(const std::string& absolute, const std::string& content);
  zr8hw::System System(const zr8hw::CudaDriver* cuda = nullptr) const {
    return zr8hw::System{cuda, Root()};
  }

 private:
  std::filesystem::path Sys(int number) const;
  TempDir dir_;
};

// The answers of the fake CUDA driver; Reset() before each test.
struct CudaState {
  struct Gpu {
    std::string name;
    std::size_t memory;
  };
  int initResult = 0;
  int version = 12040;
  std::vector<Gpu> gpus;
  int retainResult = 0;
  std::map<int, int> retained;  // device → primary contexts held
  unsigned int flags = 0;       // the primary contexts' flags (one for all devices)
  unsigned int flagsAtRetain = 0xFFFF;
  int releases = 0;

  static CudaState& Get();
  void Reset() { *this = CudaState{}; }
};

// The table of the fake driver's functions.
const zr8hw::CudaDriver& FakeCuda();

// The UTF-8 text of a zero-terminated UTF-16 field of ASCII characters.
std::string Ascii(const char16_t* text, std::size_t units);

}  // namespace fake
