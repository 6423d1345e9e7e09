// The order a decoder presents the pictures of a stream in, read from each packet's headers while
// the packets are scanned, without decoding. H.264 and HEVC present the pictures of each sequence
// (from an IDR picture, or an IRAP picture that starts one) by their picture order counts;
// MPEG-1/2 and MPEG-4 Visual video present a B picture at once and hold an I or P picture until
// the next one or the end. Wherever the headers leave a doubt (field pictures in packets of their
// own, a packet of no or two pictures, a stream that does not start at a picture that starts a
// sequence, headers that do not parse, a coding not handled here) there is no order, and only a
// decode tells it. The order is a prediction: a decode that contradicts it wins (VideoStream).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Av.h"

namespace zr8 {

class BitstreamOrder {
 public:
  // Null for a coding whose order is not read here.
  static std::unique_ptr<BitstreamOrder> For(const AVCodecParameters& parameters);

  // Reads the headers of the stream's next packet (in decode order, every packet of at least one
  // byte, as the index counts them).
  void Add(const AVPacket& packet);
  // Gives up (a packet the scan could not read, damage it found): no order.
  void Doubt() { doubt_ = true; }
  // Room for about `pictures` pictures.
  void Reserve(size_t pictures) { pictures_.reserve(pictures); }
  // The decode index of each picture in presentation order; false when in doubt.
  bool Order(std::vector<int64_t>* order) const;

 private:
  struct Picture {
    int64_t count;   // picture order count (H.264, HEVC)
    bool reference;  // an I or P picture (MPEG-1/2, MPEG-4 Visual)
    bool starts;     // starts a sequence of order counts
    bool dropped;    // the decoder presents no picture of it
  };

  explicit BitstreamOrder(const AVCodecParameters& parameters);
  void AddCounted(const AVPacket& packet);
  void AddTyped(const AVPacket& packet);

  AVCodecID codec_;
  int lengthSize_;
  ParserPtr parser_;
  CodecPtr context_;
  std::vector<Picture> pictures_;
  bool doubt_ = false;
  bool raslDropped_ = false;  // HEVC: the last IRAP picture's skipped leading pictures are dropped
  bool closedGroup_ = false;  // MPEG-1/2: the last group of pictures is closed
  int references_ = 0;        // I and P pictures so far
};

}  // namespace zr8
