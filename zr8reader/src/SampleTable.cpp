#include "SampleTable.h"

#include <cstdio>
#include <memory>

#include "Av.h"

namespace zr8 {
namespace {

class BoxFile {
 public:
  explicit BoxFile(FILE* file) : file_(file) {}

  bool Seek(int64_t offset) { return fseeko(file_, offset, SEEK_SET) == 0; }
  bool Read32(uint32_t* value) {
    uint8_t bytes[4];
    if (std::fread(bytes, 1, 4, file_) != 4) return false;
    *value = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
             bytes[3];
    return true;
  }
  bool Read64(uint64_t* value) {
    uint32_t high = 0, low = 0;
    if (!Read32(&high) || !Read32(&low)) return false;
    *value = (uint64_t(high) << 32) | low;
    return true;
  }
  int64_t Size() {
    if (fseeko(file_, 0, SEEK_END) != 0) return -1;
    return ftello(file_);
  }

  // The box at `offset` (before `end`): its type, where its content starts and where it ends.
  bool Box(int64_t offset, int64_t end, uint32_t* type, int64_t* content, int64_t* boxEnd) {
    if (offset + 8 > end || !Seek(offset)) return false;
    uint32_t size32 = 0;
    if (!Read32(&size32) || !Read32(type)) return false;
    int64_t size = size32;
    *content = offset + 8;
    if (size32 == 1) {
      uint64_t size64 = 0;
      if (!Read64(&size64)) return false;
      size = static_cast<int64_t>(size64);
      *content += 8;
    } else if (size32 == 0) {
      size = end - offset;
    }
    if (size < *content - offset || offset + size > end) return false;
    *boxEnd = offset + size;
    return true;
  }

 private:
  FILE* file_;
};

struct TrackBoxes {
  uint32_t id = 0;
  int64_t ctts = -1, stsz = -1, stz2 = -1, stts = -1;  // content offsets
};

// Finds the boxes of interest below a track's box (tkhd, and mdia/minf/stbl's tables).
bool ScanTrack(BoxFile& file, int64_t begin, int64_t end, TrackBoxes* track) {
  for (int64_t offset = begin; offset < end;) {
    uint32_t type = 0;
    int64_t content = 0, boxEnd = 0;
    if (!file.Box(offset, end, &type, &content, &boxEnd)) return false;
    if (type == FourCC("tkhd")) {
      uint32_t versionFlags = 0, skip = 0;
      if (!file.Seek(content) || !file.Read32(&versionFlags)) return false;
      const int skipWords = (versionFlags >> 24) == 1 ? 4 : 2;
      for (int i = 0; i < skipWords; ++i) {
        if (!file.Read32(&skip)) return false;
      }
      if (!file.Read32(&track->id)) return false;
    } else if (type == FourCC("mdia") || type == FourCC("minf") || type == FourCC("stbl")) {
      if (!ScanTrack(file, content, boxEnd, track)) return false;
    } else if (type == FourCC("ctts")) {
      track->ctts = content;
    } else if (type == FourCC("stsz")) {
      track->stsz = content;
    } else if (type == FourCC("stz2")) {
      track->stz2 = content;
    } else if (type == FourCC("stts")) {
      track->stts = content;
    }
    offset = boxEnd;
  }
  return true;
}

}  // namespace

bool ReadSampleTable(const std::string& path, int trackId, SampleTable* table) {
  FilePtr handle(std::fopen(path.c_str(), "rb"));
  if (!handle) return false;
  BoxFile file(handle.get());
  const int64_t fileSize = file.Size();
  if (fileSize <= 0) return false;

  int64_t moov = -1, moovEnd = -1;
  for (int64_t offset = 0; offset < fileSize;) {
    uint32_t type = 0;
    int64_t content = 0, boxEnd = 0;
    if (!file.Box(offset, fileSize, &type, &content, &boxEnd)) break;
    if (type == FourCC("moof")) return false;
    if (type == FourCC("moov")) {
      moov = content;
      moovEnd = boxEnd;
    }
    offset = boxEnd;
  }
  if (moov < 0) return false;

  TrackBoxes found;
  for (int64_t offset = moov; offset < moovEnd;) {
    uint32_t type = 0;
    int64_t content = 0, boxEnd = 0;
    if (!file.Box(offset, moovEnd, &type, &content, &boxEnd)) return false;
    if (type == FourCC("mvex")) return false;
    if (type == FourCC("trak")) {
      TrackBoxes track;
      if (!ScanTrack(file, content, boxEnd, &track)) return false;
      if (track.id == static_cast<uint32_t>(trackId)) found = track;
    }
    offset = boxEnd;
  }
  if (found.id != static_cast<uint32_t>(trackId) || found.stts < 0) return false;

  uint32_t word = 0, count = 0;
  if (found.stsz >= 0) {
    if (!file.Seek(found.stsz + 8) || !file.Read32(&count)) return false;
  } else if (found.stz2 >= 0) {
    if (!file.Seek(found.stz2 + 8) || !file.Read32(&count)) return false;
  } else {
    return false;
  }
  table->sampleCount = count;

  uint32_t entries = 0;
  if (!file.Seek(found.stts + 4) || !file.Read32(&entries) || entries == 0) return false;
  if (!file.Seek(found.stts + 8 + 8 * (int64_t(entries) - 1) + 4) || !file.Read32(&word)) {
    return false;
  }
  table->lastDuration = word;

  table->compositionOffsets.clear();
  if (found.ctts >= 0) {
    if (!file.Seek(found.ctts + 4) || !file.Read32(&entries)) return false;
    table->compositionOffsets.reserve(count);
    for (uint32_t i = 0; i < entries; ++i) {
      uint32_t samples = 0, offset = 0;
      if (!file.Read32(&samples) || !file.Read32(&offset)) return false;
      if (table->compositionOffsets.size() + samples > count) return false;
      table->compositionOffsets.insert(table->compositionOffsets.end(), samples,
                                       static_cast<int32_t>(offset));
    }
    if (static_cast<int64_t>(table->compositionOffsets.size()) != table->sampleCount) return false;
  }
  return true;
}

}  // namespace zr8
