#include "IndexCache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace zr8::index_cache {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kMagic = 0x5838525A;  // "ZR8X"
constexpr size_t kHeaderBytes = 4 + 4 + 4 + 4 + 8;
constexpr size_t kChecksumBytes = 8;
constexpr uint64_t kLargestFile = uint64_t{1} << 30;
constexpr std::string_view kSuffix = ".idx";
// A temporary file this old belongs to a writer that died.
constexpr auto kAbandoned = std::chrono::hours(1);

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A file mapped for reading, its pages read in.
class Mapping {
 public:
  Mapping(int fd, size_t size) : size_(size) {
    data_ = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (data_ == MAP_FAILED) data_ = nullptr;
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (data_ != nullptr) ::munmap(data_, size_);
  }
  std::string_view bytes() const {
    return data_ != nullptr ? std::string_view(static_cast<const char*>(data_), size_)
                            : std::string_view();
  }

 private:
  void* data_ = nullptr;
  size_t size_;
};

// A 64-bit hash of bytes, eight at a time.
uint64_t Hash(std::string_view bytes, uint64_t seed = 0) {
  uint64_t hash = seed ^ (bytes.size() * 0x9E3779B97F4A7C15ull);
  auto mix = [&hash](uint64_t word) {
    hash ^= word * 0xBF58476D1CE4E5B9ull;
    hash = ((hash << 27) | (hash >> 37)) * 0x94D049BB133111EBull;
  };
  size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    uint64_t word = 0;
    std::memcpy(&word, bytes.data() + at, 8);
    mix(word);
  }
  uint64_t tail = 0;
  if (at < bytes.size()) std::memcpy(&tail, bytes.data() + at, bytes.size() - at);
  mix(tail);
  hash ^= hash >> 31;
  hash *= 0xD6E8FEB86659FD93ull;
  return hash ^ (hash >> 32);
}

bool ReadAt(int fd, char* out, size_t bytes, int64_t offset) {
  while (bytes > 0) {
    const ssize_t got = ::pread(fd, out, bytes, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    bytes -= static_cast<size_t>(got);
    offset += got;
  }
  return true;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

}  // namespace

std::string Directory() {
  const char* off = std::getenv("ZR8READER_NO_CACHE");
  if (off != nullptr && off[0] != '\0' && std::string_view(off) != "0") return {};
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] != '\0') return std::string(xdg) + "/zr8reader";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.cache/zr8reader";
  return {};
}

std::string NameFor(const std::string& path, std::string_view kind, int number) {
  std::error_code error;
  const std::string absolute = fs::absolute(path, error).lexically_normal().native();
  char name[24];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(Hash(absolute)));
  return std::string(name) + "-" + std::string(kind) + std::to_string(number);
}

std::string StreamKey(const std::string& path, std::string_view container,
                      std::initializer_list<int64_t> values, std::string_view extradata) {
  try {
    Writer key;
    if (!FileIdentity(path, &key)) return {};
    key.PutText(container);
    for (const int64_t value : values) key.Put(value);
    key.PutText(extradata);
    return std::move(key.bytes());
  } catch (...) {
    return {};
  }
}

bool FileIdentity(const std::string& path, Writer* key) {
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error).lexically_normal();
  if (error) return false;
  const Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return false;
  }
  key->PutText(absolute.native());
  for (const int64_t value :
       {int64_t{status.st_size}, int64_t{status.st_mtim.tv_sec}, int64_t{status.st_mtim.tv_nsec},
        int64_t{status.st_ctim.tv_sec}, int64_t{status.st_ctim.tv_nsec},
        static_cast<int64_t>(status.st_ino), static_cast<int64_t>(status.st_dev)}) {
    key->Put(value);
  }
  // The first and last 64 KB (the whole file when it is no larger than both).
  const auto size = static_cast<size_t>(status.st_size);
  std::string ends(std::min(size, 2 * kEndBytes), '\0');
  const size_t head = std::min(size, kEndBytes);
  if (!ReadAt(file.get(), ends.data(), head, 0) ||
      !ReadAt(file.get(), ends.data() + head, ends.size() - head,
              static_cast<int64_t>(size - (ends.size() - head)))) {
    return false;
  }
  key->Put(Hash(ends));
  return true;
}

std::string Wrap(std::string_view key, std::string_view payload) {
  Writer file;
  file.bytes().reserve(kHeaderBytes + key.size() + payload.size() + kChecksumBytes);
  file.Put(kMagic);
  file.Put(kIndexVersion);
  file.Put(static_cast<uint32_t>(key.size()));
  file.Put(uint32_t{0});
  file.Put(static_cast<uint64_t>(payload.size()));
  file.bytes().append(key);
  file.bytes().append(payload);
  file.Put(Hash(file.bytes()));
  return std::move(file.bytes());
}

std::optional<Contents> Unwrap(std::string_view file) {
  Reader header(file);
  uint32_t magic = 0, version = 0, keyBytes = 0, reserved = 1;
  uint64_t payloadBytes = 0;
  if (!header.Get(&magic) || !header.Get(&version) || !header.Get(&keyBytes) ||
      !header.Get(&reserved) || !header.Get(&payloadBytes) || magic != kMagic ||
      version != kIndexVersion || reserved != 0 || file.size() < kHeaderBytes + kChecksumBytes ||
      keyBytes > file.size() - kHeaderBytes - kChecksumBytes ||
      payloadBytes != file.size() - kHeaderBytes - kChecksumBytes - keyBytes) {
    return std::nullopt;
  }
  const std::string_view body = file.substr(0, file.size() - kChecksumBytes);
  uint64_t checksum = 0;
  std::memcpy(&checksum, file.data() + body.size(), sizeof checksum);
  if (checksum != Hash(body)) return std::nullopt;
  return Contents{body.substr(kHeaderBytes, keyBytes), body.substr(kHeaderBytes + keyBytes)};
}

bool Load(const std::string& folder, const std::string& name, std::string_view key,
          const std::function<bool(std::string_view payload)>& use) {
  try {
    if (folder.empty()) return false;
    const std::string path = folder + "/" + name + std::string(kSuffix);
    const Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size < static_cast<off_t>(kHeaderBytes + kChecksumBytes) ||
        static_cast<uint64_t>(status.st_size) > kLargestFile) {
      return false;
    }
    // Mapped with its pages read in at once: no copy, and no fault per page.
    const Mapping mapping(file.get(), static_cast<size_t>(status.st_size));
    if (mapping.bytes().empty()) return false;
    const std::optional<Contents> contents = Unwrap(mapping.bytes());
    if (!contents || contents->key != key || !use(contents->payload)) return false;
    ::futimens(file.get(), nullptr);  // used now: the last to go in a trim
    return true;
  } catch (...) {
    return false;
  }
}

bool Store(const std::string& folder, const std::string& name, std::string_view key,
           std::string_view payload, uint64_t bound) {
  try {
    if (folder.empty()) return false;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) return false;
    const std::string target = folder + "/" + name + std::string(kSuffix);
    // A name of its own for each writer; the rename replaces the file whole.
    std::string temporary = target + ".XXXXXX";
    Fd file(::mkstemp(temporary.data()));
    if (file.get() < 0) return false;
    const bool written = WriteAll(file.get(), Wrap(key, payload));
    const bool closed = ::close(file.release()) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), target.c_str()) != 0) {
      ::unlink(temporary.c_str());
      return false;
    }
    Trim(folder, bound);
    return true;
  } catch (...) {
    return false;
  }
}

void Trim(const std::string& folder, uint64_t bound) {
  try {
    struct Entry {
      fs::file_time_type used;
      uint64_t bytes;
      fs::path path;
    };
    std::vector<Entry> entries;
    uint64_t total = 0;
    const auto now = fs::file_time_type::clock::now();
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      const std::string fileName = it->path().filename().string();
      if (!it->is_regular_file(error)) continue;
      const auto used = it->last_write_time(error);
      const uint64_t bytes = it->file_size(error);
      if (error) {
        error.clear();
        continue;
      }
      if (fileName.ends_with(kSuffix)) {
        entries.push_back({used, bytes, it->path()});
        total += bytes;
      } else if (fileName.find(std::string(kSuffix) + ".") != std::string::npos &&
                 now - used > kAbandoned) {
        std::error_code ignored;
        fs::remove(it->path(), ignored);
      }
    }
    if (total <= bound) return;
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.used < b.used; });
    for (const Entry& entry : entries) {
      if (total <= bound) break;
      std::error_code ignored;
      if (fs::remove(entry.path, ignored)) total -= entry.bytes;
    }
  } catch (...) {
  }
}

std::string EncodeVideo(const FrameIndex& index, const VideoFacts& facts) {
  Writer out;
  out.bytes().reserve(32 + index.packets().size() * 37 + index.presentation().size() * 8);
  out.Put<uint32_t>((index.byTimes() ? 1u : 0u) | (facts.damaged ? 2u : 0u) |
                    (facts.packedPictures ? 4u : 0u) | (facts.reopenUnprobed ? 8u : 0u) |
                    (facts.predicted ? 16u : 0u));
  out.Put<uint64_t>(index.packets().size());
  for (const PacketEntry& packet : index.packets()) {
    out.Put(packet.pts);
    out.Put(packet.dts);
    out.Put(packet.pos);
    out.Put(packet.duration);
    out.Put<int32_t>(packet.size);
    out.Put<uint8_t>((packet.key ? 1 : 0) | (packet.presented ? 2 : 0));
  }
  out.Put<uint64_t>(index.presentation().size());
  for (const int64_t decodeIndex : index.presentation()) out.Put(decodeIndex);
  out.Put<uint64_t>(facts.concealedGroups.size());
  for (const size_t group : facts.concealedGroups) out.Put<uint64_t>(group);
  return std::move(out.bytes());
}

bool DecodeVideo(std::string_view payload, FrameIndex* index, VideoFacts* facts) {
  Reader in(payload);
  uint32_t flags = 0;
  uint64_t count = 0;
  if (!in.Get(&flags) || flags > 31 || !in.GetCount(37, &count) || count == 0) return false;
  std::vector<PacketEntry> packets(count);
  for (PacketEntry& packet : packets) {
    uint8_t marks = 0;
    int32_t size = 0;
    if (!in.Get(&packet.pts) || !in.Get(&packet.dts) || !in.Get(&packet.pos) ||
        !in.Get(&packet.duration) || !in.Get(&size) || !in.Get(&marks) || marks > 3) {
      return false;
    }
    packet.size = size;
    packet.key = (marks & 1) != 0;
    packet.presented = (marks & 2) != 0;
  }
  if (!in.GetCount(8, &count)) return false;
  std::vector<int64_t> presentation(count);
  for (int64_t& decodeIndex : presentation) in.Get(&decodeIndex);
  if (!in.GetCount(8, &count)) return false;
  std::set<size_t> groups;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t group = 0;
    if (!in.Get(&group)) return false;
    groups.insert(static_cast<size_t>(group));
  }
  if (!in.done() ||
      !index->Restore(std::move(packets), std::move(presentation), (flags & 1) != 0) ||
      (!groups.empty() && *groups.rbegin() >= index->keys().size())) {
    return false;
  }
  facts->damaged = (flags & 2) != 0;
  facts->packedPictures = (flags & 4) != 0;
  facts->reopenUnprobed = (flags & 8) != 0;
  facts->predicted = (flags & 16) != 0;
  facts->concealedGroups = std::move(groups);
  return true;
}

std::string EncodeAudio(const AudioTimeline& timeline) {
  Writer out;
  out.bytes().reserve(40 + timeline.packets.size() * 29 + timeline.changes.size() * 8);
  out.Put<uint32_t>((timeline.rateChanges ? 1u : 0u) | (timeline.prerollBounded ? 2u : 0u) |
                    (timeline.predicted ? 4u : 0u));
  out.Put(timeline.preroll);
  out.Put<uint64_t>(timeline.packets.size());
  for (const AudioPacketEntry& packet : timeline.packets) {
    out.Put(packet.pts);
    out.Put(packet.pos);
    out.Put<int32_t>(packet.size);
    out.Put<uint8_t>(packet.trimmedStart ? 1 : 0);
    out.Put(packet.outCount);
  }
  out.Put<uint64_t>(timeline.changes.size());
  for (const int64_t change : timeline.changes) out.Put(change);
  return std::move(out.bytes());
}

bool DecodeAudio(std::string_view payload, AudioTimeline* timeline) {
  Reader in(payload);
  uint32_t flags = 0;
  uint64_t count = 0;
  if (!in.Get(&flags) || flags > 7 || !in.Get(&timeline->preroll) || timeline->preroll < -1 ||
      !in.GetCount(29, &count)) {
    return false;
  }
  timeline->rateChanges = (flags & 1) != 0;
  timeline->prerollBounded = (flags & 2) != 0;
  timeline->predicted = (flags & 4) != 0;
  timeline->packets.resize(count);
  int64_t total = 0;
  for (AudioPacketEntry& packet : timeline->packets) {
    int32_t size = 0;
    uint8_t trimmed = 0;
    if (!in.Get(&packet.pts) || !in.Get(&packet.pos) || !in.Get(&size) || !in.Get(&trimmed) ||
        !in.Get(&packet.outCount) || size < 0 || trimmed > 1 || packet.outCount < 0 ||
        __builtin_add_overflow(total, packet.outCount, &total)) {
      return false;
    }
    packet.size = size;
    packet.trimmedStart = trimmed != 0;
  }
  if (!in.GetCount(8, &count)) return false;
  timeline->changes.resize(count);
  for (size_t i = 0; i < count; ++i) {
    int64_t& change = timeline->changes[i];
    if (!in.Get(&change) || change < 0 ||
        change >= static_cast<int64_t>(timeline->packets.size()) ||
        (i > 0 && change < timeline->changes[i - 1])) {
      return false;
    }
  }
  return in.done();
}

}  // namespace zr8::index_cache
