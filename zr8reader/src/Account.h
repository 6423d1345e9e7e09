// What the library holds in the whole process, counted where it is taken and given back: the
// threads it started (every decoder's, every picture converter's, the audio counting threads while
// they run) and the memory of its pictures and readers. Picture memory is every buffer of
// AllocatePictureBytes: decoded pictures (in decoders, kept on the way, the last delivered, and
// those the recycler keeps) and delivered pictures (on loan from a pool or kept by it for reuse),
// each at its footprint. Reader memory is each open reader's demuxer index of every track and its
// I/O buffer; decoder memory, each software decoder's tables beside its pictures. ThreadBudget
// divides the decoder threads that run at once; this counts what exists.
#pragma once

#include <cstdint>

struct AVFormatContext;

namespace zr8 {

enum class Held {
  kDecoders,          // open video decoders, every decoding position's (a number, not threads)
  kDecoderThreads,    // worker threads of open decoders, every decoding position's
  kConverterThreads,  // libswscale's worker threads of the picture converters
  kCountingThreads,   // threads that count an audio stream's samples in parts, while they run
  kPictureBytes,
  kReaderBytes,
  kDecoderBytes,  // what software decoders hold beside their pictures (estimated: DecodeCursor)
  kKinds,
};

class Account {
 public:
  static void Add(Held kind, int64_t amount);
  static int64_t Of(Held kind);
  static int64_t Threads();  // of every kind
  static int64_t Bytes();    // of every kind

  // The bytes a reader holds: the index entries of every track it has (MP4 and MOV list every
  // sample at opening; other containers add entries as packets are read and seeks find them) and
  // its I/O buffer. Recorded at each call, replacing the reader's earlier figure, and returned;
  // ForgetReader takes it out when the reader closes.
  static int64_t CountReader(const AVFormatContext* reader);
  static void ForgetReader(const AVFormatContext* reader);
};

// An amount held in the account while this lives (a decoder's threads, a converter's scratch).
class Holding {
 public:
  explicit Holding(Held kind) : kind_(kind) {}
  ~Holding() { Set(0); }
  Holding(const Holding&) = delete;
  Holding& operator=(const Holding&) = delete;

  void Set(int64_t amount) {
    Account::Add(kind_, amount - amount_);
    amount_ = amount;
  }
  int64_t amount() const { return amount_; }

 private:
  Held kind_;
  int64_t amount_ = 0;
};

}  // namespace zr8
