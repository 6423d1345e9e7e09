#include "VideoStream.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

#include "PictureMemory.h"
#include "Status.h"
#include "StreamDescription.h"
#include "zr8hardware/Hardware.h"

namespace zr8 {

int32_t VideoStream::Open(const std::string& path, int number, const Zr8DecodePrefs* prefs,
                          std::shared_ptr<PictureStore> store, std::unique_ptr<VideoStream>* out,
                          const HardwareRequest& hardware, FormatPtr probed) {
  std::unique_ptr<VideoStream> stream(new VideoStream(path, std::move(store)));
  StreamSource& source = stream->source_;
  source.number = number;
  FormatPtr input = probed ? std::move(probed) : OpenMedia(path, true);
  if (!input || !source.Describe(input.get())) return kFail;
  const AVCodecParameters& parameters = *source.parameters;
  stream->threadLimit_ = prefs != nullptr ? static_cast<int>(prefs->decoderThreads) : 0;
  auto cursor = std::make_unique<DecodeCursor>();
  bool opened = false;
  if (hardware.kind != 0) {
    // A hardware decoder takes no threads of the budget: it decodes on the calling thread.
    stream->hardware_ = CreateHardwareDecoder(hardware);
    opened =
        stream->hardware_ && cursor->Open(source, 1, stream->hardware_.get(), std::move(input));
    if (!opened) stream->hardware_.reset();
  }
  if (!opened) {
    const int threads = stream->lease_.Rebalance(stream->threadLimit_);
    opened = cursor->input() != nullptr ? cursor->Reopen(source, threads)
                                        : cursor->Open(source, threads, nullptr, std::move(input));
  }
  if (!opened) return kFail;
  const auto nativeFormat = static_cast<AVPixelFormat>(parameters.format);
  int32_t pixelType = prefs != nullptr ? prefs->pixelType : 0;
  if (pixelType == 0) pixelType = PreferredPixelType(nativeFormat);
  if (PixelTypeFormat(pixelType).format == AV_PIX_FMT_NONE) return kNoInterface;
  if (!MakeLayout(pixelType, parameters.width, parameters.height, &stream->layout_)) {
    return kNoInterface;
  }
  if (!stream->builder_.Build(*cursor) || stream->index_.frameCount() == 0) return kFail;
  stream->frames_ = stream->index_.frameCount();
  stream->access_.Add(std::move(cursor));
  if (!stream->SeekToKey(0)) return kFail;
  // Whether the hardware decodes this stream is known from its first key frame, before the stream
  // is reported as decoded there; where it does not, the software decoder takes its threads.
  if (stream->hardware_ &&
      !ConfirmHardware(*stream->hardware_, parameters, source.timeBase,
                       *stream->access_.current().packet()) &&
      !stream->FallBackToSoftware()) {
    return kFail;
  }
  if (stream->hardware_) stream->access_.CapCursors(kHardwareCursors);
  stream->converter_.emplace(stream->layout_);
  if (prefs != nullptr)
    stream->prefs_ = *prefs;
  else {
    stream->prefs_.reserved0 = 1.0;
    stream->prefs_.reserved8 = 1.0;
    stream->prefs_.reserved40 = 23.976;
    stream->prefs_.reserved96 = 1;
  }
  stream->prefs_.pixelType = pixelType;
  if (stream->hardware_) {
    // The hardware in effect, with the context it was given (the caller's own values).
    stream->prefs_.hardwarePreference = hardware.kind;
    if (hardware.kind != zr8hw::kKindNvidia || !hardware.haveCuda) {
      stream->prefs_.useCuda = 0;
      stream->prefs_.cudaId = 0;
      stream->prefs_.cudaHandle1 = nullptr;
      stream->prefs_.cudaHandle2 = nullptr;
    }
    if (hardware.kind != zr8hw::kKindAmd || hardware.vaapiHandle == nullptr) {
      stream->prefs_.useAmf = 0;
      stream->prefs_.amfHandle1 = nullptr;
      stream->prefs_.amfHandle2 = nullptr;
    }
  } else {
    stream->ReportSoftware();
  }
  const StreamDescription described =
      DescribeStream(stream->access_.current().input(), source.streamIndex, parameters,
                     stream->index_, stream->layout_, pixelType);
  stream->format_ = described.format;
  stream->compressed_ = described.compressed;
  stream->length_ = described.length;
  stream->fullRange_ = described.fullRange;
  const int nativeBytes =
      av_image_get_buffer_size(nativeFormat, parameters.width, parameters.height, 1);
  stream->access_.SetPictureBytes(static_cast<int64_t>(PictureFootprint(static_cast<size_t>(
      std::max<int64_t>({nativeBytes, static_cast<int64_t>(stream->layout_.totalSize), 1})))));
  *out = std::move(stream);
  return kOk;
}

void VideoStream::ReportSoftware() {
  prefs_.hardwarePreference = 0;
  prefs_.useCuda = 0;
  prefs_.cudaId = 0;
  prefs_.cudaHandle1 = nullptr;
  prefs_.cudaHandle2 = nullptr;
  prefs_.useAmf = 0;
  prefs_.amfHandle1 = nullptr;
  prefs_.amfHandle2 = nullptr;
}

bool VideoStream::FallBackToSoftware() {
  // The decoders go before the hardware they refer to (the hardware stays while one is left); the
  // software decoder takes its share of the thread budget, and further cursors are made anew.
  access_.DropParked();
  access_.CapCursors(SIZE_MAX);
  madeInSoftware_ = false;
  if (!access_.current().Reopen(source_, lease_.Rebalance(threadLimit_))) return false;
  hardware_.reset();
  ReportSoftware();
  return true;
}

bool VideoStream::Download(AVFrame* frame) {
  if (!hardware_) return true;
  const int downloaded = hardware_->Download(frame);
  if (downloaded < 0) {
    av_frame_unref(frame);
    return false;
  }
  madeInSoftware_ = madeInSoftware_ || downloaded == 0;
  return true;
}

int VideoStream::ThreadLimit() const {
  // What a damaged stream's decoder conceals depends on its thread count: every cursor of such a
  // stream decodes with the count of a full decode.
  if (access_.cursors() < 2 || facts_.damaged) return threadLimit_;
  // A stream that moves between cursors restarts a decoder at most requests; a thread beyond the
  // cores only lengthens each restart.
  const int cores = ThreadBudget::Instance().total() - 1;
  return threadLimit_ > 0 ? std::min(threadLimit_, cores) : cores;
}

void VideoStream::RebalanceThreads() {
  if (hardware_) return;  // a hardware decoder keeps the calling thread
  DecodeCursor& cursor = access_.current();
  const int threads = lease_.Rebalance(ThreadLimit());
  if (threads != cursor.threads() && !cursor.Reopen(source_, threads)) {
    lease_.Rebalance(cursor.threads());
  }
}

bool VideoStream::SeekToKey(int64_t decodeIndex, bool fromStart) {
  ++seeks_;
  RebalanceThreads();
  DecodeCursor& cursor = access_.current();
  const uint64_t before = cursor.rereads();
  const bool sought = cursor.SeekToKey(source_, index_, decodeIndex, fromStart);
  rereads_ += cursor.rereads() - before;
  return sought;
}

std::unique_ptr<DecodeCursor> VideoStream::MakeCursor() {
  auto cursor = std::make_unique<DecodeCursor>();
  if (hardware_) {
    // On the same device, decoding on the calling thread.
    if (!cursor->Open(source_, 1, hardware_.get())) return nullptr;
    return cursor;
  }
  const int threads = lease_.Rebalance(ThreadLimit());
  if (!cursor->Open(source_, threads, nullptr)) {
    lease_.Rebalance(access_.current().threads());
    return nullptr;
  }
  return cursor;
}

VideoStream::Outcome VideoStream::DecodeTo(int64_t index) {
  DecodeCursor& cursor = access_.current();
  while (true) {
    int64_t identity = FrameIndex::kNone;
    switch (cursor.Next(index_, index, !facts_.damaged && !facts_.packedPictures,
                        hardware_ != nullptr, facts_.predicted, &identity)) {
      case DecodeCursor::Step::kEnd:
        return Outcome::kMissed;
      case DecodeCursor::Step::kHardwareFailed:
        return Outcome::kHardwareFailed;
      case DecodeCursor::Step::kLost:
        return Outcome::kLost;
      case DecodeCursor::Step::kContradicted:
        return Outcome::kContradicted;
      case DecodeCursor::Step::kDamaged:
        // From now on every picture is decoded, and none kept from runs that skipped some.
        facts_.damaged = true;
        access_.cache().Trim(0);
        return Outcome::kAgain;
      case DecodeCursor::Step::kFrame:
        break;
    }
    ++decodedFrames_;
    if (cursor.concealed() && !hardware_ && NewlyConcealed(cursor, index)) {
      av_frame_unref(cursor.frame());
      access_.cache().Trim(0);
      return Outcome::kEarlier;
    }
    // Only the picture asked for and those the cache keeps leave the device.
    const bool kept =
        identity == index || (identity != FrameIndex::kNone && access_.Wants(index_, identity));
    if (kept && !Download(cursor.frame())) return Outcome::kHardwareFailed;
    if (identity == index) return Outcome::kFound;
    if (kept) access_.Pass(index_, identity, *cursor.frame());
    av_frame_unref(cursor.frame());
    if (identity > index) return Outcome::kMissed;
  }
}

// Records the group of the concealed picture in the cursor's frame; true when it is the group of
// frame `target` (not the first), seen for the first time, in a run that started at its key frame:
// the picture was concealed without the pictures a full decode had before it.
bool VideoStream::NewlyConcealed(const DecodeCursor& cursor, int64_t target) {
  const int64_t shown = index_.FrameOf(cursor.frame()->pts);
  if (shown == FrameIndex::kNone) return false;
  const size_t group = index_.KeyFor(shown);
  if (!facts_.concealedGroups.insert(group).second) return false;
  return group > 0 && group == index_.KeyFor(target) && cursor.runStart() == index_.keys()[group];
}

int32_t VideoStream::Deliver(const AVFrame& frame, Image** image) {
  Block block = store_->Acquire(layout_.totalSize);
  if (!converter_->Convert(frame, block.data())) return kFail;
  std::unique_ptr<DevicePicture> device;
  if (!store_->InCpuMemory()) {
    device = store_->Upload(block);
    if (!device) return kFail;
  }
  uint32_t attributes = store_->InCpuMemory() ? 8u : 0u;
  if (frame.key_frame) attributes |= 1;
  if (frame.interlaced_frame) attributes |= 2;
  if (Code(frame.color_range) == AVCOL_RANGE_JPEG || fullRange_) attributes |= 4;
  double par = format_.aspectRatio;
  if (frame.sample_aspect_ratio.num > 0 && frame.sample_aspect_ratio.den > 0) {
    par = av_q2d(frame.sample_aspect_ratio);
  }
  *image = device ? new Image(std::move(device), layout_, par, attributes)
                  : new Image(std::move(block), layout_, par, attributes);
  return kOk;
}

int32_t VideoStream::GetFrame(int64_t index, Image** image) {
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= frameCount()) return kBounds;
  if (index == lastIndex_) return Deliver(*last_, image);
  FramePtr kept = MakeFrame();
  if (access_.cache().Take(index, kept.get())) {
    ++cacheHits_;
    return DeliverFound(kept.get(), index, image);
  }
  access_.Trim();

  // Nothing sent to the decoder since its last seek: it may change its thread count for free.
  if (access_.current().fresh()) RebalanceThreads();
  size_t key = index_.KeyFor(index);
  size_t needed = key;
  // A group with a concealed picture is decoded from the key frame before it, as a full decode
  // conceals it from the pictures before.
  if (key > 0 && facts_.concealedGroups.count(key) != 0) --key;
  bool forward = access_.Choose(index_, index, key, [this] { return MakeCursor(); });
  lease_.Hold(access_.current().threads());
  if (!forward && !SeekToKey(index_.keys()[key])) return kFail;
  bool lost = false;  // a run of this request lost its place: later runs count from the start
  for (Outcome outcome; (outcome = DecodeTo(index)) != Outcome::kFound;) {
    if (outcome == Outcome::kContradicted) {
      // The order read from the headers was wrong: the stream is ordered by a decode from now on
      // (and in the index cache), and the request is answered in that order.
      if (!ReorderByDecoding()) return kFail;
      if (index >= frameCount()) return kBounds;
      key = needed = index_.KeyFor(index);
      forward = false;
    } else if (outcome == Outcome::kLost) {
      // The packets after the run's start are not those of the index (a demuxer that cuts them
      // otherwise after a seek): the run starts again from the packets counted from the start of
      // the file. A run counted so that still does not match reads a file that has changed.
      if (lost) return kFail;
      lost = true;
      forward = false;
    } else if (outcome == Outcome::kAgain) {
      forward = false;
    } else if (outcome == Outcome::kEarlier) {
      forward = false;
      key = needed - 1;
    } else if (outcome == Outcome::kHardwareFailed) {
      // The same frames from software, from the key frame the target needs.
      if (!FallBackToSoftware()) return kFail;
      key = needed;
    } else if (forward) {
      forward = false;
    } else if (hardware_) {
      // Not delivered from the hardware: software may still deliver it.
      if (!FallBackToSoftware()) return kFail;
      key = needed;
    } else if (key + 1 == needed || key == 0) {
      // Not even from one key frame earlier: the frame cannot be had (damage the index did not
      // see); no request walks further back.
      return kFail;
    } else {
      key = needed - 1;
    }
    if (!SeekToKey(index_.keys()[key], lost)) return kFail;
  }
  const int32_t delivered = DeliverFound(access_.current().frame(), index, image);
  // The decoder's format negotiation ended in software (a profile the hardware lacks): the stream
  // goes on in software with its threads (on the hardware still, should that decoder not open).
  if (madeInSoftware_) FallBackToSoftware();
  return delivered;
}

bool VideoStream::ReorderByDecoding() {
  if (!builder_.Reorder()) return false;
  frames_ = index_.frameCount();
  // Frames kept or delivered, and the runs of other cursors, are numbered in the old order.
  access_.cache().Trim(0);
  access_.DropParked();
  lastIndex_ = -1;
  // The frame count, and the length and rate that follow from it, as the new order has them.
  if (AVFormatContext* input = access_.current().input()) {
    const StreamDescription described = DescribeStream(
        input, source_.streamIndex, *source_.parameters, index_, layout_, format_.pixelType);
    format_ = described.format;
    length_ = described.length;
  } else {
    format_.frameCount = frameCount();
  }
  return true;
}

int32_t VideoStream::DeliverFound(AVFrame* frame, int64_t index, Image** image) {
  av_frame_unref(last_.get());
  av_frame_move_ref(last_.get(), frame);
  lastIndex_ = index;
  return Deliver(*last_, image);
}

}  // namespace zr8
