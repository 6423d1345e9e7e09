// The compressed packets of an audio stream, read by a reader of their own.
#include <cstring>

#include "AudioStream.h"
#include "Status.h"

namespace zr8 {

int32_t AudioStream::GetPacket(int64_t number, void* buffer, int64_t capacity, int64_t* bytesRead) {
  std::lock_guard lock(mutex_);
  *bytesRead = 0;
  if (number < 0 || number >= static_cast<int64_t>(packets_.size())) return kBounds;
  const PacketInfo& info = packets_[number];
  *bytesRead = info.size;
  if (capacity < info.size || buffer == nullptr) return kBounds;
  // A reader of its own, opened once without probing, so the decode position is left alone;
  // consecutive packets are read on without a seek.
  if (!packetReader_) {
    packetReader_ = OpenMedia(path_, false);
    packetRead_ = MakePacket();
    packetReaderNext_ = 0;
    if (!packetReader_) return kFail;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt == 1 || (attempt == 0 && packetReaderNext_ != number)) {
      packetReaderNext_ = -1;
      if (info.pts == AV_NOPTS_VALUE ||
          av_seek_frame(packetReader_.get(), streamIndex_, info.pts, AVSEEK_FLAG_BACKWARD) < 0) {
        continue;
      }
    } else if (attempt == 2) {
      packetReader_ = OpenMedia(path_, false);
      if (!packetReader_) break;
      packetReaderNext_ = 0;
    }
    AVPacket* packet = packetRead_.get();
    while (av_read_frame(packetReader_.get(), packet) >= 0) {
      if (packet->stream_index != streamIndex_) {
        av_packet_unref(packet);
        continue;
      }
      // The packet the index expects, and where positions do not tell it, the next in order or the
      // one of its time.
      const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      const bool match = Matches(number, *packet) &&
                         (packetReaderNext_ == number || pts == info.pts || packet->pos >= 0);
      if (packetReaderNext_ >= 0) ++packetReaderNext_;
      if (match) {
        std::memcpy(buffer, packet->data, static_cast<size_t>(packet->size));
        av_packet_unref(packet);
        packetReaderNext_ = number + 1;
        return kOk;
      }
      av_packet_unref(packet);
      if (packetReaderNext_ > number) break;
    }
    packetReaderNext_ = -1;
  }
  *bytesRead = 0;
  return kFail;
}

}  // namespace zr8
