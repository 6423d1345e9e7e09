// Pieces shared inside the module: owning wrappers for descriptors and the render node listing.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zr8hw {

// An owned file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// The whole content of a (small) file, or nothing when it cannot be read.
std::optional<std::string> ReadSmallFile(const std::string& path);
// The first line of a file without its line end and surrounding blanks.
std::string FirstLine(const std::string& path);
// A hexadecimal number as sysfs writes it ("0x8086\n"); 0 when unreadable.
uint32_t ReadHexFile(const std::string& path);
// The last component of a symbolic link's target ("" when it is no link).
std::string LinkName(const std::string& path);

struct RenderNode {
  std::string name;      // "renderD128"
  int32_t number = 0;    // 128
  std::string nodePath;  // "/dev/dri/renderD128", without the system root
  uint32_t vendorId = 0;
  uint32_t deviceId = 0;
  std::string driver;   // kernel driver
  std::string pciSlot;  // "0000:03:00.0"
};

// The render nodes under root/dev/dri, in ascending number, with their sysfs facts.
std::vector<RenderNode> ListRenderNodes(const std::string& root);

// A readable name for the node's device (see Hardware.h).
std::string RenderNodeName(const std::string& root, const RenderNode& node);

int32_t KindOfVendor(uint32_t vendorId);
const char* VendorName(uint32_t vendorId);

}  // namespace zr8hw
