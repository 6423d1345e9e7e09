// How a read at a random start of an audio stream rebuilds the decoder's state: the packets decoded
// before the start, per coding, and whether what comes out then is the full decode's exactly.
//
// Most decoders forget what came before within a few packets (overlapped transforms, bit
// reservoirs, predictors): after their pre-roll the samples are a full decode's, bit for bit. A few
// keep state that reaches back without bound: AC-3's and E-AC-3's dither generator, AAC's noise
// substitution generator, the rounding error the fixed-point MPEG layer II synthesis feeds back.
// For those a pre-roll gives the full decode's samples at the same positions but for the noise the
// decoder synthesises, whose largest difference was measured (bench/PrerollDiff.cpp, ten-minute
// noisy stereo files). ZR8READER_EXACT_AUDIO set to anything but 0 when a stream opens makes those
// decode from the start of the stream for a read behind the decoder instead: exact, and slow.
#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace zr8::audio_preroll {

struct Choice {
  int64_t packets = -1;  // decoded before a random start; -1: decode from the start of the stream
  bool bounded = false;  // the samples after it differ from a full decode's by the decoder's noise
  // The largest absolute difference of a sample (on the float scale reads deliver) measured
  // against a full decode; 0 where exact.
  float largestDifference = 0;
};

// The pre-roll of a coding, as measured; {-1} for a coding not measured.
Choice For(AVCodecID id);

// For a coding whose exact pre-roll a probe at open found wanting (state that reaches back
// further, as AAC's noise substitution): the same pre-roll, bounded by the level of that state.
Choice NotReproduced(Choice choice);

// Whether ZR8READER_EXACT_AUDIO asks for exact samples at every start.
bool ExactAsked();

// The packets a read at a random start decodes before it under that switch: -1 (from the start) for
// a bounded choice where exact samples are asked.
int64_t Packets(Choice choice, bool exactAsked);

}  // namespace zr8::audio_preroll
