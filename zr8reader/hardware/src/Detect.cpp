// Finding the devices: NVIDIA through the CUDA driver, then the render nodes through sysfs.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "Internal.h"
#include "zr8hardware/Hardware.h"

namespace zr8hw {

int32_t KindOfVendor(uint32_t vendorId) {
  switch (vendorId) {
    case kVendorIntel:
      return kKindIntel;
    case kVendorAmd:
      return kKindAmd;
    default:
      return kKindNone;  // NVIDIA's decoders come through the CUDA driver, not its render node
  }
}

const char* VendorName(uint32_t vendorId) {
  switch (vendorId) {
    case kVendorNvidia:
      return "NVIDIA";
    case kVendorIntel:
      return "Intel";
    case kVendorAmd:
      return "AMD";
    default:
      return "Unknown";
  }
}

std::vector<RenderNode> ListRenderNodes(const std::string& root) {
  std::vector<RenderNode> nodes;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(root + "/dev/dri", error)) {
    const std::string name = entry.path().filename().string();
    constexpr std::string_view prefix = "renderD";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        digits.size() > 6) {
      continue;
    }
    RenderNode node;
    node.name = name;
    node.number = std::stoi(digits);
    node.nodePath = "/dev/dri/" + name;
    const std::string device = root + "/sys/class/drm/" + name + "/device";
    node.vendorId = ReadHexFile(device + "/vendor");
    node.deviceId = ReadHexFile(device + "/device");
    node.driver = LinkName(device + "/driver");
    node.pciSlot = LinkName(device);
    nodes.push_back(std::move(node));
  }
  std::sort(nodes.begin(), nodes.end(),
            [](const RenderNode& a, const RenderNode& b) { return a.number < b.number; });
  return nodes;
}

namespace {

bool IsHex4(const std::string& line, std::size_t at) {
  if (line.size() < at + 4) return false;
  return std::all_of(line.begin() + at, line.begin() + at + 4,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The PCI name database's name of vendor:device, "" when it has none.
std::string PciDatabaseName(const std::string& root, uint32_t vendorId, uint32_t deviceId) {
  char vendorKey[8], deviceKey[8];
  std::snprintf(vendorKey, sizeof vendorKey, "%04x", vendorId & 0xFFFF);
  std::snprintf(deviceKey, sizeof deviceKey, "%04x", deviceId & 0xFFFF);
  for (const char* database : {"/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids"}) {
    std::ifstream in(root + database);
    if (!in) continue;
    std::string line;
    bool inVendor = false;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      if (line[0] != '\t') {
        if (inVendor) break;
        inVendor = IsHex4(line, 0) && line.compare(0, 4, vendorKey) == 0;
      } else if (inVendor && line.size() > 7 && line[1] != '\t' && IsHex4(line, 1) &&
                 line.compare(1, 4, deviceKey) == 0) {
        std::string name = line.substr(5);
        name.erase(0, name.find_first_not_of(" \t"));
        while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) name.pop_back();
        return name;
      }
    }
  }
  return "";
}

void DetectCuda(const CudaDriver& cuda, Detection& detection) {
  detection.cudaStatus = cuda.init(0);
  if (detection.cudaStatus != 0) return;
  int version = 0;
  if (cuda.driverGetVersion(&version) == 0) detection.cudaDriverVersion = version;
  int count = 0;
  if (cuda.deviceGetCount(&count) != 0) return;
  for (int ordinal = 0; ordinal < count; ++ordinal) {
    int handle = 0;
    if (cuda.deviceGet(&handle, ordinal) != 0) continue;
    Device device;
    device.kind = kKindNvidia;
    device.vendorId = kVendorNvidia;
    device.source = DeviceSource::kCuda;
    device.index = ordinal;
    char name[256] = {};
    if (cuda.deviceGetName(name, sizeof name - 1, handle) == 0) device.name = name;
    if (device.name.empty()) device.name = "NVIDIA CUDA device " + std::to_string(ordinal);
    std::size_t memory = 0;
    if (cuda.deviceTotalMem(&memory, handle) == 0) device.totalMemory = memory;
    device.driver = "nvidia";
    if (version > 0) {
      device.driverVersion =
          std::to_string(version / 1000) + "." + std::to_string(version % 1000 / 10);
    }
    device.location = "cuda:" + std::to_string(ordinal);
    detection.devices.push_back(std::move(device));
  }
}

}  // namespace

std::string RenderNodeName(const std::string& root, const RenderNode& node) {
  std::string name = FirstLine(root + "/sys/class/drm/" + node.name + "/device/product_name");
  if (name.empty()) name = PciDatabaseName(root, node.vendorId, node.deviceId);
  if (name.empty()) {
    char fallback[64];
    std::snprintf(fallback, sizeof fallback, "%s GPU %04x:%04x", VendorName(node.vendorId),
                  node.vendorId, node.deviceId);
    name = fallback;
  }
  return name;
}

std::vector<const Device*> Detection::Decoders() const {
  std::vector<const Device*> decoders;
  for (const Device& device : devices) {
    if (device.kind != kKindNone) decoders.push_back(&device);
  }
  return decoders;
}

Detection Detect(const System& system) {
  Detection detection;
  if (system.cuda && system.cuda->Complete()) DetectCuda(*system.cuda, detection);
  const std::vector<RenderNode> nodes = ListRenderNodes(system.root);
  detection.renderNodes = static_cast<uint32_t>(nodes.size());
  for (const RenderNode& node : nodes) {
    Device device;
    device.kind = KindOfVendor(node.vendorId);
    device.vendorId = node.vendorId;
    device.deviceId = node.deviceId;
    device.source = DeviceSource::kRenderNode;
    device.index = node.number;
    device.name = RenderNodeName(system.root, node);
    device.driver = node.driver;
    if (!node.driver.empty()) {
      device.driverVersion = FirstLine(system.Path("/sys/module/" + node.driver + "/version"));
    }
    device.location = node.nodePath;
    device.pciSlot = node.pciSlot;
    detection.devices.push_back(std::move(device));
  }
  detection.nvidiaKernelDriver = FirstLine(system.Path("/proc/driver/nvidia/version"));
  return detection;
}

std::string DeviceFingerprint(const std::string& root) {
  std::string fingerprint = "layout " + std::to_string(kDetectionLayoutVersion) + "\n";
  for (const RenderNode& node : ListRenderNodes(root)) {
    char line[160];
    std::snprintf(line, sizeof line, "%s %04x:%04x ", node.name.c_str(), node.vendorId,
                  node.deviceId);
    fingerprint += line + node.driver + "\n";
  }
  fingerprint += "nvidia " + FirstLine(root + "/proc/driver/nvidia/version") + "\n";
  // The NVIDIA kernel driver lists its GPUs by PCI slot, render nodes or not.
  std::vector<std::string> gpus;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(root + "/proc/driver/nvidia/gpus", error)) {
    gpus.push_back(entry.path().filename().string());
  }
  std::sort(gpus.begin(), gpus.end());
  for (const std::string& gpu : gpus) fingerprint += "nvidia-gpu " + gpu + "\n";
  return fingerprint;
}

}  // namespace zr8hw
