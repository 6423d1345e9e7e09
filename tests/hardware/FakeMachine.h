// A stand-in for the machine: a directory tree in place of /sys, /dev and /proc (the CUDA driver is
// the stand-in library of standin/).
#pragma once

#include <cstdint>
#include <filesystem>
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

// "kind vendor name" for each decoder (the vendor in hexadecimal; the names here are ASCII).
std::vector<std::string> Describe(const std::vector<zr8hw::HardwareDecoderInfo>& list);

}  // namespace fake
