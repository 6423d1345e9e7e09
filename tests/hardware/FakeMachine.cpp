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

void WriteScript(const fs::path& path, const std::string& body) {
  WriteFile(path, "#!/bin/sh\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
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

CudaState& CudaState::Get() {
  static CudaState state;
  return state;
}

namespace {

CudaState& S() {
  return CudaState::Get();
}
bool Known(int device) {
  return device >= 0 && device < static_cast<int>(S().gpus.size());
}

int Init(unsigned int) {
  return S().initResult;
}
int Version(int* version) {
  *version = S().version;
  return 0;
}
int Count(int* count) {
  if (S().initResult != 0) return 3;  // not initialised
  *count = static_cast<int>(S().gpus.size());
  return 0;
}
int DeviceGet(int* device, int ordinal) {
  if (!Known(ordinal)) return 101;  // invalid device
  *device = ordinal;
  return 0;
}
int Name(char* name, int length, int device) {
  if (!Known(device)) return 101;
  std::snprintf(name, static_cast<std::size_t>(length), "%s", S().gpus[device].name.c_str());
  return 0;
}
int Memory(std::size_t* bytes, int device) {
  if (!Known(device)) return 101;
  *bytes = S().gpus[device].memory;
  return 0;
}
int Retain(void** context, int device) {
  if (!Known(device)) return 101;
  if (S().retainResult != 0) return S().retainResult;
  ++S().retained[device];
  S().flagsAtRetain = S().flags;
  *context = reinterpret_cast<void*>(static_cast<intptr_t>(0x1000 + device));
  return 0;
}
int Release(int device) {
  if (!Known(device) || S().retained[device] == 0) return 201;  // invalid context
  --S().retained[device];
  ++S().releases;
  return 0;
}

int State(int device, unsigned int* flags, int* active) {
  if (!Known(device)) return 101;
  *flags = S().flags;
  *active = S().retained[device] > 0 ? 1 : 0;
  return 0;
}
// As the driver's first version: refused while the context is active.
int SetFlags(int device, unsigned int flags) {
  if (!Known(device)) return 101;
  if (S().retained[device] > 0) return 708;  // primary context active
  S().flags = flags;
  return 0;
}

}  // namespace

const zr8hw::CudaDriver& FakeCuda() {
  static const zr8hw::CudaDriver table{Init,   Version, Count,   DeviceGet, Name,
                                       Memory, Retain,  Release, State,     SetFlags};
  return table;
}

std::string Ascii(const char16_t* text, std::size_t units) {
  std::string out;
  for (std::size_t i = 0; i < units && text[i] != u'\0'; ++i) {
    out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  }
  return out;
}

}  // namespace fake
