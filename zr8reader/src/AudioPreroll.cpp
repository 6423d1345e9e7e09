#include "AudioPreroll.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

extern "C" {
#include <libavcodec/codec_desc.h>
}

namespace zr8::audio_preroll {

// Pre-rolls and differences measured with bench/PrerollDiff.cpp at 48 random places of ten-minute
// stereo files of tones and noise made by the ffmpeg tool (see README.md, "Audio"). Exact codings
// take a margin over the shortest exact pre-roll (Opus: exact from 40 packets, 48 taken).
Choice For(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_FLAC:
    case AV_CODEC_ID_ALAC:
    case AV_CODEC_ID_TTA:
    case AV_CODEC_ID_WAVPACK:
      return {1};
    case AV_CODEC_ID_MP3:
      return {10};
    case AV_CODEC_ID_VORBIS:
      return {2};
    case AV_CODEC_ID_AAC:
      return {2};  // with noise substitution, bounded (a probe at open tells)
    case AV_CODEC_ID_OPUS:
      return {48};
    case AV_CODEC_ID_AC3:
      return {2, true, 0.12f};
    case AV_CODEC_ID_EAC3:
      return {2, true, 0.18f};
    case AV_CODEC_ID_MP2:
      return {2, true, 3.1e-5f};  // one step of 16 bits
    default: {
      const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
      if (descriptor != nullptr && std::strncmp(descriptor->name, "pcm_", 4) == 0) return {1};
      return {};
    }
  }
}

Choice NotReproduced(Choice choice) {
  // AAC's substituted noise has the band's energy: a sample may differ by about the level of the
  // noise itself (measured up to 0.53 on full-scale white noise).
  return {choice.packets, true, 1.0f};
}

bool ExactAsked() {
  const char* exact = std::getenv("ZR8READER_EXACT_AUDIO");
  return exact != nullptr && exact[0] != '\0' && std::string_view(exact) != "0";
}

int64_t Packets(Choice choice, bool exactAsked) {
  return choice.bounded && exactAsked ? -1 : choice.packets;
}

}  // namespace zr8::audio_preroll
