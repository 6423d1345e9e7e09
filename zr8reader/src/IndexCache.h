// Frame indexes kept between runs, so that opening the same stream again neither reads nor decodes
// it to index it.
//
// Each file of the cache holds one stream's index under a key: the file's identity (absolute path,
// size, modification time to the nanosecond, a hash of its first and last 64 KB), the stream and
// its codec parameters, and kIndexVersion. A cache file is read whole in one go and used only when
// its header, key, sizes and checksum all hold and the index it holds validates; anything else
// (another file's or version's, changed, truncated, garbage) is ignored and written again. Writes
// go to a unique temporary file in the same folder, renamed over the old one, so that a reader
// never sees half a file whatever other processes do. After a write the folder is trimmed to its
// bound, least recently used first. No failure here ever fails an open: it only costs the indexing.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "FrameIndex.h"

namespace zr8::index_cache {

// Bump whenever what an index means, or what goes into one, changes.
constexpr uint32_t kIndexVersion = 2;
constexpr uint64_t kDefaultBound = uint64_t{256} << 20;  // bytes of cache files in the folder
constexpr size_t kEndBytes = 64 << 10;                   // hashed at each end of the file

// $XDG_CACHE_HOME/zr8reader, else ~/.cache/zr8reader; empty (no cache) when neither is set or
// ZR8READER_NO_CACHE is set to anything but 0.
std::string Directory();

// Bytes appended in a fixed layout (a key, a payload).
class Writer {
 public:
  template <typename T>
  void Put(T value) {
    bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  void PutText(std::string_view text) {
    Put<uint64_t>(text.size());
    bytes_.append(text);
  }
  std::string& bytes() { return bytes_; }

 private:
  std::string bytes_;
};

// Bytes read back; every read is checked against what is left, and once one fails all later ones
// fail.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  template <typename T>
  bool Get(T* value) {
    if (!ok_ || bytes_.size() - at_ < sizeof(T)) return ok_ = false;
    std::memcpy(value, bytes_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return true;
  }
  // A count of items of at least `itemBytes` each that fit in what is left.
  bool GetCount(size_t itemBytes, uint64_t* count) {
    return Get(count) && (*count <= (bytes_.size() - at_) / itemBytes || (ok_ = false));
  }
  bool done() const { return ok_ && at_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  size_t at_ = 0;
  bool ok_ = true;
};

// The name of the cache file of stream `number` of the file at `path`, of a `kind` of stream: the
// same for every version of the file, so that a changed file's index replaces the old one.
std::string NameFor(const std::string& path, std::string_view kind, int number);

// The identity of the file at `path` for a key; false when it cannot be read.
bool FileIdentity(const std::string& path, Writer* key);

// The key of a stream's cache file: the file's identity, its container's name, `values` (the
// stream's place and coding) and its codec's extra data; empty when the file cannot be read.
std::string StreamKey(const std::string& path, std::string_view container,
                      std::initializer_list<int64_t> values, std::string_view extradata);

// A cache file's bytes: its key and payload, when its header, sizes and checksum hold.
struct Contents {
  std::string_view key;
  std::string_view payload;
};
std::optional<Contents> Unwrap(std::string_view file);
std::string Wrap(std::string_view key, std::string_view payload);

// Gives `use` the payload kept under `name` in `folder` for `key`, when there is one and it holds;
// whether `use` took it. A payload taken marks its file as used (for the trim).
bool Load(const std::string& folder, const std::string& name, std::string_view key,
          const std::function<bool(std::string_view payload)>& use);
// Keeps `payload` under `name` and trims the folder to `bound` bytes; false when it could not.
bool Store(const std::string& folder, const std::string& name, std::string_view key,
           std::string_view payload, uint64_t bound = kDefaultBound);
// Removes the least recently used cache files of `folder` until they take at most `bound` bytes,
// and temporary files left by writers that died.
void Trim(const std::string& folder, uint64_t bound);

// What building a video stream's frame index concludes, beyond the index itself.
struct VideoFacts {
  bool damaged = false;         // damage seen in the packets
  bool packedPictures = false;  // packets may hold two pictures
  bool reopenUnprobed = false;  // the stream's readers need no stream information
  bool predicted = false;       // the order read from the headers, not yet contradicted by a decode
  std::set<size_t> concealedGroups;  // places in the index's keys()
};
std::string EncodeVideo(const FrameIndex& index, const VideoFacts& facts);
// False when the payload is not a valid index (`index` and `facts` are then of no use).
bool DecodeVideo(std::string_view payload, FrameIndex* index, VideoFacts* facts);

// An audio stream's decoded timeline: where each packet's output falls, and how reads start.
struct AudioPacketEntry {
  int64_t pts;
  int64_t pos;
  int size;
  bool trimmedStart;
  int64_t outCount;  // samples it yields in a full decode
};
struct AudioTimeline {
  std::vector<AudioPacketEntry> packets;
  // The coding's pre-roll (audio_preroll::Choice), kept whatever ZR8READER_EXACT_AUDIO says: a
  // reader applies the switch it opens under.
  int64_t preroll = -1;
  bool prerollBounded = false;
  bool rateChanges = false;
  bool predicted =
      false;  // predicted from the packets, no decode from start to end has confirmed it
  std::vector<int64_t> changes;  // rising places in `packets`
};
std::string EncodeAudio(const AudioTimeline& timeline);
// False when the payload is not a valid timeline (sizes and counts not negative, the total count
// within 63 bits, a pre-roll of -1 or more, changes rising among the packets).
bool DecodeAudio(std::string_view payload, AudioTimeline* timeline);

}  // namespace zr8::index_cache
