// zr8reader-detect: runs the hardware detection and writes the detection record to standard
// output. The reader library runs it in its own process group and kills it when it takes too long.
//
//   zr8reader-detect [--root DIR] [--no-cuda]
//     --root DIR   read /sys, /dev and /proc below DIR instead of the machine's own
//     --no-cuda    do not load the CUDA driver
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "zr8hardware/Hardware.h"

int main(int argc, char** argv) {
  std::string root;
  bool cuda = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      root = argv[++i];
    } else if (std::strcmp(argv[i], "--no-cuda") == 0) {
      cuda = false;
    } else {
      std::fprintf(stderr, "usage: %s [--root DIR] [--no-cuda]\n", argv[0]);
      return 2;
    }
  }
  const zr8hw::System system = cuda && root.empty() ? zr8hw::HostSystem()
                               : cuda               ? zr8hw::System{zr8hw::HostSystem().cuda, root}
                                                    : zr8hw::FilesystemOnly(root);
  std::vector<unsigned char> record(zr8hw::kDetectionRecordSize);
  if (zr8hw::DetectionResults(record.data(), 0, system) < 0) return 1;
  std::size_t written = 0;
  while (written < record.size()) {
    const ssize_t put = ::write(STDOUT_FILENO, record.data() + written, record.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return 1;
    written += static_cast<std::size_t>(put);
  }
  return 0;
}
