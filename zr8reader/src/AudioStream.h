// One audio stream of a file, decoded to interleaved 32-bit float with sample-accurate access.
//
// Samples are placed on the decoded timeline: where each packet's output falls in a full decode
// (the container's and the coding's priming, edit lists and end trims applied by FFmpeg). Opening
// predicts it from the packets where the coding fixes each packet's output, decoding only the
// first and last packets (AudioCount.cpp), else counts it by one decode of the whole stream; every
// later decode checks a predicted timeline and counts anew on a contradiction (AudioTimeline.cpp).
// Reads seek to a packet a few packets before the start and decode from there (a pre-roll chosen
// per coding, AudioPreroll.h), or decode from the beginning where no pre-roll applies
// (AudioCursor.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../include/Zr8Reader.h"
#include "Account.h"
#include "AudioPreroll.h"
#include "Av.h"
#include "Handle.h"
#include "Pools.h"

namespace zr8 {

struct ProbedStreams;

class AudioStream final : public Handle {
 public:
  static constexpr HandleKind kKind = HandleKind::kAudio;

  // Opens the `number`-th audio stream of the file; null when it cannot be decoded. `probed`, when
  // given, is a reader of the file that has read its stream information, used first; `known`,
  // what that reading learnt, lets every further reader skip it.
  static std::unique_ptr<AudioStream> Open(const std::string& path, int number,
                                           std::shared_ptr<MemoryPool> buffers,
                                           FormatPtr probed = nullptr,
                                           std::shared_ptr<const ProbedStreams> known = nullptr);
  ~AudioStream() override;

  int64_t sampleCount() const { return sampleCount_; }
  int64_t length() const;
  // As the stream opened, with the count of the timeline now (a rebuilt one changes it).
  Zr8AudioCompressedFormat format() const {
    Zr8AudioCompressedFormat format = format_;
    format.sampleCount = sampleCount_;
    format.duration = length();
    return format;
  }

  int32_t GetSamples(int64_t start, float* buffer, int64_t maxFrames, int64_t* framesRead);
  int32_t GetPacket(int64_t number, void* buffer, int64_t capacity, int64_t* bytesRead);
  // Whether the timeline came from the index cache (IndexCache) rather than a decode at open.
  bool timelineFromCache() const { return timelineFromCache_; }
  // Whether the timeline was predicted from the packets and no decode from the start to the end
  // has confirmed it yet.
  bool timelinePredicted() const { return predicted_; }
  // Reads behind the decoder that decoded again from the start of the stream (no pre-roll for the
  // coding, or no landing after a seek).
  uint64_t readsFromStart() const { return readsFromStart_; }
  // In the whole process: the decodes of a whole stream that counted its samples (at an open whose
  // timeline could not be predicted, and at each rebuild), and the predicted timelines a decode
  // contradicted, rebuilt by such a decode.
  static int64_t CountingDecodes();
  static int64_t TimelineRebuilds();

 private:
  struct PacketInfo {
    int64_t pts;  // container time (its decode time where it has none), for seeking
    int64_t pos;  // file position, -1 when unknown
    int size;
    bool trimmedStart;  // the decoder drops samples at its start (priming, an edit list)
    int64_t outStart;   // first sample of the decoded timeline that comes from this packet
    int64_t outCount;   // samples it yields in a full decode (0: none)
  };

  AudioStream(std::string path, std::shared_ptr<MemoryPool> buffers)
      : Handle(kKind), path_(std::move(path)), buffers_(std::move(buffers)) {}
  // The layout, rate and sample format of a decoded frame.
  struct FrameShape {
    int format = -1;
    int rate = 0;
    int channels = 0;
    static FrameShape Of(const AVFrame& frame) {
      return {frame.format, frame.sample_rate, frame.ch_layout.nb_channels};
    }
    bool operator!=(const FrameShape& other) const {
      return format != other.format || rate != other.rate || channels != other.channels;
    }
  };

  // Each packet sent to the decoder carries its index in the stream as its time, shifted past any
  // adjustment the decoder makes for skipped samples, so that a frame tells the packet it comes
  // from.
  static constexpr int kTagShift = 32;
  // Windows of packets (their first packet and length) where a random start is tried against a
  // continuous decode at indexing: a coding whose state reaches back further than its pre-roll
  // (AAC's noise substitution, whose generator runs through the whole stream) shows there.
  static constexpr int64_t kProbeStarts[] = {48, 400, 3000};
  static constexpr int64_t kProbeLength = 8;

  bool Restart(FormatPtr probed = nullptr);
  // A decoder of the stream, single-threaded unless `threads` says otherwise, timed in samples of
  // the stream's rate (the tags).
  CodecPtr NewDecoder(int threads = 1) const;
  // Makes `decoder` the stream's, its threads counted in the Account.
  void UseDecoder(CodecPtr decoder);
  // Before the first packet of a decode from the start: where the coding decodes its frames on
  // frame threads (the lossless codings whose frames stand alone), a decoder that does, so that a
  // read of the whole stream runs at the speed of a multi-threaded decode.
  void ThreadFromStart();
  // Sends a reference to `packet`, tagged as the stream's packet `index`, through `copy`; false
  // when no reference can be made (no memory).
  static bool SendHeld(AVCodecContext* decoder, const AVPacket& packet, int64_t index,
                       AVPacket* copy);
  // The packet index a frame's tag names, -1 where it has none.
  static int64_t TagOf(const AVFrame& frame);
  bool Index();
  // The counting decode (in parts, else in one), the positions it gives and the pre-roll.
  bool CountTimeline();
  void PlaceTimeline();
  // Predicts each packet's output from what its coding fixes, checked against decodes of the
  // stream's first and last packets; false (nothing kept) where the prediction is not safe.
  bool PredictTimeline();
  // Decodes the held packets [from, to) with a fresh decoder (drained when `drain`), adding the
  // output of those in [countFrom, countTo) to their outCount and hashing the probe windows' output
  // into `hashes` (when given). False when a frame's shape differs from `shape` (set by the first
  // frame when unset) or its rate from the stream's.
  bool DecodeHeld(const std::map<int64_t, PacketPtr>& held, int64_t from, int64_t to,
                  int64_t countFrom, int64_t countTo, bool drain, FrameShape* shape,
                  std::map<int64_t, uint64_t>* hashes);
  // Decodes the packets [from, to) that `packet` gives with `decoder`, drained after the last when
  // `drain`, and hands each frame to `take` with the packet it comes from (a frame without a tag:
  // the last packet sent). False when a packet is missing or cannot be sent, or `take` says stop.
  static bool DecodeRun(AVCodecContext* decoder,
                        const std::function<const AVPacket*(int64_t)>& packet, int64_t from,
                        int64_t to, bool drain,
                        const std::function<bool(int64_t, const AVFrame&)>& take);
  // While a predicted timeline is read: adds a decoded frame's samples to its packet's, and checks
  // every packet the decode has passed against the prediction; false on a contradiction.
  bool Observe(int64_t source, int64_t samples);
  bool Settle(int64_t until);
  // At the end of the stream: the last packets checked; a decode that ran from the start confirms
  // the whole timeline, which is then kept in the index cache.
  bool ObserveEnd();
  // Replaces a predicted timeline a decode contradicted by a counted one.
  bool Rebuild();
  int32_t Read(int64_t start, float* buffer, int64_t maxFrames, int64_t* framesRead);
  // The index cache's key for this stream's timeline (empty: not cached), and its load and store.
  std::string TimelineKey() const;
  bool LoadTimeline(const std::string& key);
  void StoreTimeline(const std::string& key) const;
  static PacketInfo Describe(const AVPacket& packet);
  void CountByOneDecode();
  bool CountInParts();
  // The packet windows whose output the counting decode hashes (see PrerollReproduces): keeps a
  // packet of a window or its pre-roll, and adds a frame of a window's packet to `hashes`.
  void KeepForProbe(int64_t index, const AVPacket& packet);
  static void HashProbe(int64_t source, const AVFrame& frame, std::map<int64_t, uint64_t>* hashes);
  std::optional<bool> PrerollReproduces(int64_t preroll);
  bool SeekNear(int64_t start);
  // Decodes until a frame comes out, into frame_; false at the end of the stream, or when a packet
  // read after a seek is not the one the index expects (lost_).
  bool DecodeFrame(bool indexing);
  // Decodes and converts the next frame into pending_; false at the end or when lost. With `into`,
  // a frame whose samples begin at `at` and fit in `room` frames is converted there instead (the
  // caller's buffer: no copy through pending_), and `*straight` receives their count (else 0).
  bool DecodeNext(float* into = nullptr, int64_t at = -1, int64_t room = 0,
                  int64_t* straight = nullptr);
  bool Land(int64_t latest);
  bool Matches(int64_t index, const AVPacket& packet) const;
  void SendTagged(AVPacket* packet);
  // The packet a decoded frame comes from, -1 when it cannot be told.
  int64_t SourceOf(const AVFrame& frame) const;
  // Converts `count` samples of frame_ from `first` into `out`; the number written, -1 on failure.
  int Convert(int first, int count, uint8_t* out);
  int64_t OutputCapacity(int count) const;
  // Delivers what a resampler of another rate holds back, at the end of the stream; then drops it.
  int FlushResampler(uint8_t* out, int capacity);
  void FillFormat();

  std::mutex mutex_;
  Holding decoderThreads_{Held::kDecoderThreads};
  std::string path_;
  std::shared_ptr<MemoryPool> buffers_;
  int number_ = 0;
  int streamIndex_ = -1;
  std::shared_ptr<const ProbedStreams> known_;
  FormatPtr input_;
  CodecPtr decoder_;
  FramePtr frame_;
  PacketPtr packet_;
  AVRational timeBase_{1, 1};
  int sampleRate_ = 0;
  AVChannelLayout layout_{};  // the stream's declared layout, in which samples are delivered
  int channels_ = 0;
  // Read without the lock (the count and format queries); a rebuilt timeline changes it.
  std::atomic<int64_t> sampleCount_{0};
  int64_t preroll_ = -1;  // packets decoded before a random start; -1: decode from the start
  audio_preroll::Choice prerollChoice_;  // what preroll_ comes from, whatever the exact switch
  int64_t firstSeekable_ = 0;            // the first packet a seek may land on (after trimmed ones)
  bool rateChanges_ = false;             // some frames are resampled: conversion keeps state
  std::vector<PacketInfo> packets_;
  std::vector<int64_t> changes_;  // packets whose output changes layout, rate or sample format
  // While indexing: the packets of the probe windows and their pre-rolls, and the hash of what a
  // full decode made of each probed packet.
  std::map<int64_t, PacketPtr> probePackets_;
  std::map<int64_t, uint64_t> probeHashes_;
  int64_t probedBelow_ = 0;  // the counting decode ran from the start up to this packet
  Zr8AudioCompressedFormat format_{};
  bool timelineFromCache_ = false;
  bool predicted_ = false;
  uint64_t readsFromStart_ = 0;
  // Checking a predicted timeline: the first packet this decode run may check (after its
  // pre-roll), the packet whose frames are being added up and their samples, whether the run began
  // at the start, and a contradiction seen.
  int64_t confirmFrom_ = 0;
  int64_t observed_ = -1;
  int64_t observedSamples_ = 0;
  bool runFromStart_ = false;
  bool contradicted_ = false;

  // The converter and the input it was built for.
  SwrPtr resampler_;
  int inFormat_ = -1;
  int inRate_ = 0;
  AVChannelLayout inLayout_{};

  int64_t nextPacket_ = 0;    // index of the next packet read
  int64_t lastSource_ = -1;   // packet of the last decoded frame
  int64_t sourceOffset_ = 0;  // samples of lastSource_ already delivered
  Block pending_;             // converted samples of the last decoded frame
  int64_t pendingStart_ = 0;  // sample frame position of pending_'s first frame
  int64_t pendingFrames_ = 0;
  int64_t nextPosition_ = 0;  // position of the next decoded sample, -1 when unknown
  int64_t skipBefore_ = 0;    // frames ending before this position are not converted
  bool drained_ = false;
  bool flushSent_ = false;
  bool lost_ = false;

  // A reader of its own for the compressed packets, kept between calls.
  FormatPtr packetReader_;
  PacketPtr packetRead_;
  int64_t packetReaderNext_ = -1;  // index of the packet it reads next, -1 when unknown
};

}  // namespace zr8
