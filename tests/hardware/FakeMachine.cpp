#include "FakeMachine.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fake {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "zr8hw.XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  fs::remove_all(path_, error);
}

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

fs::path FakeMachine::Sys(int number) const {
  char slot[32];
  std::snprintf(slot, sizeof slot, "0000:%02x:00.0", number - 127);
  return dir_.Path() / "sys/devices/pci0000:00" / slot;
}

void FakeMachine::AddRenderNode(int number, uint32_t vendor, uint32_t device,
                                const std::string& driver) {
  const std::string name = "renderD" + std::to_string(number);
  WriteFile(dir_.Path() / "dev/dri" / name, "");
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%04x\n", vendor);
  WriteFile(Sys(number) / "vendor", hex);
  std::snprintf(hex, sizeof hex, "0x%04x\n", device);
  WriteFile(Sys(number) / "device", hex);
  const fs::path classDir = dir_.Path() / "sys/class/drm" / name;
  fs::create_directories(classDir);
  fs::create_directory_symlink(Sys(number), classDir / "device");
  SetDriver(number, driver);
}

void FakeMachine::SetDriver(int number, const std::string& driver) {
  const fs::path target = dir_.Path() / "sys/bus/pci/drivers" / driver;
  fs::create_directories(target);
  fs::remove(Sys(number) / "driver");
  fs::create_directory_symlink(target, Sys(number) / "driver");
}

void FakeMachine::MakeUnopenable(int number) {
  const fs::path node = dir_.Path() / "dev/dri" / ("renderD" + std::to_string(number));
  fs::remove(node);
  fs::create_directory(node);
}

void FakeMachine::Write(const std::string& absolute, const std::string& content) {
  WriteFile(Root() + absolute, content);
}

std::vector<std::string> Describe(const std::vector<zr8hw::HardwareDecoderInfo>& list) {
  std::vector<std::string> lines;
  for (const auto& info : list) {
    char text[32];
    std::snprintf(text, sizeof text, "%d %04x ", info.kind, info.vendorUniqueId);
    lines.push_back(text);
    for (std::size_t i = 0; i < std::size(info.deviceName) && info.deviceName[i]; ++i) {
      lines.back() += static_cast<char>(info.deviceName[i]);
    }
  }
  return lines;
}

}  // namespace fake
