// A stand-in for the machine: a directory tree in place of /sys, /dev and /proc (the CUDA driver is
// the stand-in library of standin/).
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "zr8hardware/Hardware.h"

namespace fake {

namespace fs = std::filesystem;

inline void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string ReadFile(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// A fresh directory tree, removed with everything in it at the end.
class FakeMachine {
 public:
  FakeMachine() {
    std::string pattern = (fs::temp_directory_path() / "zr8hw.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
  }
  FakeMachine(const FakeMachine&) = delete;
  FakeMachine& operator=(const FakeMachine&) = delete;
  ~FakeMachine() { fs::remove_all(root_, error_); }
  std::string Root() const { return root_.string(); }
  // renderD<number> in /dev/dri and its PCI device (slot number - 127) in sysfs.
  void AddRenderNode(int number, uint32_t vendor, uint32_t device, const std::string& driver) {
    const std::string name = "renderD" + std::to_string(number);
    WriteFile(root_ / "dev/dri" / name, "");
    WriteFile(Sys(number) / "vendor", Hex(vendor));
    WriteFile(Sys(number) / "device", Hex(device));
    fs::create_directories(root_ / "sys/class/drm" / name);
    fs::create_directory_symlink(Sys(number), root_ / "sys/class/drm" / name / "device");
    SetDriver(number, driver);
  }
  // Points the node's device at another kernel driver.
  void SetDriver(int number, const std::string& driver) {
    const fs::path target = root_ / "sys/bus/pci/drivers" / driver;
    fs::create_directories(target);
    fs::remove(Sys(number) / "driver");
    fs::create_directory_symlink(target, Sys(number) / "driver");
  }
  // Replaces the node in /dev/dri by a directory, which no one can open read-write.
  void MakeUnopenable(int number) {
    const fs::path node = root_ / "dev/dri" / ("renderD" + std::to_string(number));
    fs::remove(node);
    fs::create_directory(node);
  }
  // A file below the root ("/proc/driver/nvidia/version").
  void Write(const std::string& absolute, const std::string& content) {
    WriteFile(Root() + absolute, content);
  }
  zr8hw::System System(const zr8hw::CudaDriver* cuda = nullptr) const {
    return zr8hw::System{cuda, Root()};
  }

 private:
  static std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x\n", value);
    return text;
  }
  fs::path Sys(int number) const {
    char slot[32];
    std::snprintf(slot, sizeof slot, "0000:%02x:00.0", number - 127);
    return root_ / "sys/devices/pci0000:00" / slot;
  }
  fs::path root_;
  std::error_code error_;
};

// "kind vendor name" for each decoder (the vendor in hexadecimal; the names here are ASCII).
inline std::vector<std::string> Describe(const std::vector<zr8hw::HardwareDecoderInfo>& list) {
  std::vector<std::string> lines;
  for (const auto& info : list) {
    char text[32];
    std::snprintf(text, sizeof text, "%d %04x ", info.kind, info.vendorUniqueId);
    const auto* end = std::find(info.deviceName, std::end(info.deviceName), u'\0');
    lines.push_back(text + std::string(info.deviceName, end));
  }
  return lines;
}

}  // namespace fake
