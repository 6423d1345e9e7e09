#include "PacketDamage.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zr8 {
namespace {

// The first bits of a NAL unit, emulation prevention bytes removed, read as the slice header's
// fields are.
class HeaderBits {
 public:
  HeaderBits(const uint8_t* data, int size) {
    int zeros = 0;
    for (int i = 0; i < size && bytes_ < static_cast<int>(sizeof(data_)); ++i) {
      if (zeros >= 2 && data[i] == 3) {
        zeros = 0;
        continue;
      }
      zeros = data[i] == 0 ? zeros + 1 : 0;
      data_[bytes_++] = data[i];
    }
  }
  // -1 past the end.
  int Bit() {
    if (at_ >= bytes_ * 8) return -1;
    const int bit = (data_[at_ / 8] >> (7 - at_ % 8)) & 1;
    ++at_;
    return bit;
  }
  // An unsigned Exp-Golomb number; -1 where it runs past the end or past 31 leading zeros.
  int64_t Ue() {
    int zeros = 0;
    for (int bit = Bit(); bit != 1; bit = Bit()) {
      if (bit < 0 || ++zeros > 31) return -1;
    }
    int64_t value = 1;
    for (int i = 0; i < zeros; ++i) {
      const int bit = Bit();
      if (bit < 0) return -1;
      value = (value << 1) | bit;
    }
    return value - 1;
  }

 private:
  uint8_t data_[16] = {};
  int bytes_ = 0;
  int at_ = 0;
};

// Whether a NAL unit, from its first bytes, is damaged where the decoder looks first: a forbidden
// bit set, or a slice whose header has a slice type or parameter set number out of range (or, in
// an IDR picture, a slice type that is not intra). The decoder skips such a unit; where it held a
// picture's only slice, the picture is lost.
bool HeaderDamaged(AVCodecID codec, const uint8_t* nal, int size) {
  if (size < 2) return false;
  HeaderBits bits(nal, size);
  if (bits.Bit() != 0) return true;
  int type = 0;
  for (int i = 0; i < (codec == AV_CODEC_ID_HEVC ? 6 : 7); ++i) type = (type << 1) | bits.Bit();
  if (codec == AV_CODEC_ID_H264) {
    type &= 31;  // after the two bits of nal_ref_idc
    if (type != 1 && type != 5) return false;
    const int64_t firstBlock = bits.Ue(), sliceType = bits.Ue(), parameterSet = bits.Ue();
    // An IDR picture's slices are intra (I or SI) only; the decoder drops any other.
    const bool idrNotIntra = type == 5 && sliceType % 5 != 2 && sliceType % 5 != 4;
    return firstBlock < 0 || sliceType < 0 || sliceType > 9 || parameterSet < 0 ||
           parameterSet >= 256 || idrNotIntra;
  }
  int layerAndTemporal = 0;
  for (int i = 0; i < 9; ++i) layerAndTemporal = (layerAndTemporal << 1) | bits.Bit();
  if ((layerAndTemporal & 7) == 0) return true;  // temporal id + 1 is 0
  const bool slice = type <= 9 || (type >= 16 && type <= 21);
  if (!slice || (layerAndTemporal >> 3) != 0) return false;
  bits.Bit();                  // first slice segment in the picture
  if (type >= 16) bits.Bit();  // no output of prior pictures
  const int64_t parameterSet = bits.Ue();
  return parameterSet < 0 || parameterSet >= 64;
}

constexpr int kHeaderBytes = 12;

// Whether a packet of `size` bytes reaches the decoder whole: its NAL units split (each length is
// not 0 and fits in what follows it; the decoder drops a packet where one does not, and shows no
// picture of it), and none is damaged at its start. `read(offset, bytes, out)` reads bytes of the
// packet.
template <typename Read>
bool PacketWhole(AVCodecID codec, int64_t size, int lengthSize, Read read) {
  int64_t at = 0;
  while (size - at >= 4) {
    uint8_t prefix[4 + kHeaderBytes];
    const int bytes = static_cast<int>(std::min<int64_t>(lengthSize + kHeaderBytes, size - at));
    if (!read(at, bytes, prefix)) return false;
    uint64_t length = 0;
    for (int i = 0; i < lengthSize; ++i) length = (length << 8) | prefix[i];
    at += lengthSize;
    if (length == 0 || length > static_cast<uint64_t>(size - at)) return false;
    const int headerBytes = static_cast<int>(std::min<uint64_t>(length, bytes - lengthSize));
    if (HeaderDamaged(codec, prefix + lengthSize, headerBytes)) return false;
    at += static_cast<int64_t>(length);
  }
  return true;
}

// The same for a packet in start codes (transport, program and raw streams): NAL units are what
// follows each 00 00 01.
bool StartCodedPacketWhole(AVCodecID codec, const uint8_t* data, int size) {
  // Each 01 byte (found by memchr, a few per kilobyte of coded data) that ends 00 00 01.
  for (int at = 2; at < size;) {
    const auto* one = static_cast<const uint8_t*>(std::memchr(data + at, 1, size - at));
    if (one == nullptr) break;
    at = static_cast<int>(one - data) + 1;
    if (one[-1] != 0 || one[-2] != 0) continue;
    if (HeaderDamaged(codec, data + at, std::min(size - at, kHeaderBytes))) return false;
  }
  return true;
}

}  // namespace

int NalLengthSize(const AVCodecParameters& parameters) {
  const uint8_t* extra = parameters.extradata;
  const int size = parameters.extradata_size;
  if (parameters.codec_id == AV_CODEC_ID_H264 && size >= 7 && extra[0] == 1) {
    return (extra[4] & 3) + 1;
  }
  if (parameters.codec_id == AV_CODEC_ID_HEVC && size >= 23 &&
      (extra[0] != 0 || extra[1] != 0 || extra[2] > 1)) {
    return (extra[21] & 3) + 1;
  }
  return 0;
}

bool ReadPacketWhole(AVCodecID codec, int lengthSize, const AVPacket& packet) {
  if (lengthSize > 0) {
    auto read = [&packet](int64_t offset, int bytes, uint8_t* out) {
      std::copy_n(packet.data + offset, bytes, out);
      return true;
    };
    return PacketWhole(codec, packet.size, lengthSize, read);
  }
  const bool startCoded = codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC;
  return !startCoded || StartCodedPacketWhole(codec, packet.data, packet.size);
}

std::vector<int64_t> DamagedPackets(const std::string& path, AVCodecID codec,
                                    const std::vector<PacketEntry>& packets, int lengthSize) {
  std::vector<int64_t> found;
  const FilePtr file(std::fopen(path.c_str(), "rbe"));
  if (!file) return found;
  const int fd = fileno(file.get());
  std::vector<uint8_t> window(16 << 10);
  int64_t windowStart = 0, windowBytes = 0;
  auto readFile = [&](int64_t at, int bytes, uint8_t* out) {
    if (at < windowStart || at + bytes > windowStart + windowBytes) {
      const ssize_t got = ::pread(fd, window.data(), window.size(), at);
      windowStart = at;
      windowBytes = got > 0 ? got : 0;
      if (windowBytes < bytes) return false;
    }
    std::copy_n(window.data() + (at - windowStart), bytes, out);
    return true;
  };
  for (size_t i = 0; i < packets.size(); ++i) {
    const int64_t pos = packets[i].pos;
    auto read = [&readFile, pos](int64_t offset, int bytes, uint8_t* out) {
      return readFile(pos + offset, bytes, out);
    };
    if (pos >= 0 && !PacketWhole(codec, packets[i].size, lengthSize, read)) {
      found.push_back(static_cast<int64_t>(i));
    }
  }
  return found;
}

}  // namespace zr8
