// Small clips made at test time with the ffmpeg tool, shared by the video tests.
#pragma once

#include <ostream>

namespace clips {

// Bytes overwritten in the middle of one packet's payload (found with ffprobe) after the clip is
// made.
struct Damage {
  int packet = -1;  // decode index of the packet; -1: none
  int bytes = 0;
};

struct Clip {
  const char* name;
  const char* arguments;  // for the ffmpeg tool, before the output name
  Damage damage;
  bool shell = false;  // `arguments` is a shell command that writes the file named by $OUT
};

inline void PrintTo(const Clip& clip, std::ostream* out) {
  *out << clip.name;
}

#define ZR8_TEST_SOURCE "-f lavfi -i testsrc2=size=96x64:rate=25 "

// Containers that carry no presentation times for reordered pictures: AVI (decode times only),
// raw elementary streams (no times at all), and a program stream whose B-pictures lack them.
inline const Clip kNoPresentationTimes[] = {
    {"mpeg4_bframes.avi", ZR8_TEST_SOURCE "-t 4 -c:v mpeg4 -bf 2 -g 12 -vtag XVID", {}},
    {"h264_bframes.avi",
     ZR8_TEST_SOURCE "-t 4 -c:v libx264 -preset ultrafast -bf 3 -g 12 -pix_fmt yuv420p",
     {}},
    {"mpeg2_open_gop.mpg", ZR8_TEST_SOURCE "-t 4 -c:v mpeg2video -bf 2 -g 12 -f mpeg", {}},
    {"elementary.h264", ZR8_TEST_SOURCE "-t 4 -c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p", {}},
    {"elementary.hevc",
     ZR8_TEST_SOURCE
     "-t 4 -c:v libx265 -x265-params log-level=error:keyint=12:bframes=3 -pix_fmt yuv420p",
     {}},
    {"elementary.m2v", ZR8_TEST_SOURCE "-t 4 -c:v mpeg2video -bf 2 -g 12", {}},
    {"elementary.m4v", ZR8_TEST_SOURCE "-t 4 -c:v mpeg4 -bf 2 -g 12", {}},
    // Packed B-frames, as older encoders and cameras write them: a P and the following B picture
    // in one packet, then a placeholder packet of a few bytes.
    {"mpeg4_packed_bframes.avi",
     "ffmpeg -nostdin -y " ZR8_TEST_SOURCE "-t 4 -pix_fmt yuv420p \"$OUT.y4m\" && "
     "mencoder \"$OUT.y4m\" -ovc xvid -xvidencopts bitrate=300:max_bframes=2:packed "
     "-o \"$OUT\" && rm \"$OUT.y4m\"",
     {},
     true},
};

// Small clips of the codings and containers that matter: reordering (B-frames), open GOPs,
// 10-bit and 4:2:2 sources, full-range sources, variable frame rate, times that do not start at
// zero, odd picture sizes.
inline const Clip kClips[] = {
    {"h264_bframes.mp4",
     "-f lavfi -i testsrc2=size=160x120:rate=25 -t 2 -c:v libx264 -preset ultrafast -bf 3 "
     "-x264-params keyint=12:b-adapt=0 -pix_fmt yuv420p",
     {}},
    {"h264_open_gop.mkv",
     "-f lavfi -i testsrc2=size=128x96:rate=25 -t 2 -c:v libx264 -preset fast "
     "-x264-params keyint=10:min-keyint=10:open-gop=1:bframes=3:b-adapt=0:scenecut=0 "
     "-pix_fmt yuv420p",
     {}},
    {"hevc_10bit.mkv",
     "-f lavfi -i testsrc2=size=128x96:rate=25 -t 1.2 -c:v libx265 -preset ultrafast "
     "-x265-params log-level=error:keyint=8:bframes=2 -pix_fmt yuv420p10le",
     {}},
    {"vp9.webm",
     "-f lavfi -i testsrc2=size=160x120:rate=24 -t 1.5 -c:v libvpx-vp9 -deadline realtime "
     "-cpu-used 8 -g 10 -pix_fmt yuv420p",
     {}},
    {"ffv1_odd.mkv",
     "-f lavfi -i testsrc2=size=162x122:rate=24 -t 1.5 -vf crop=161:121:0:0:exact=1 -c:v ffv1 "
     "-pix_fmt yuv420p",
     {}},
    {"mpeg2.ts",
     "-f lavfi -i testsrc2=size=176x144:rate=25 -t 2 -c:v mpeg2video -bf 2 -g 12 -q:v 4",
     {}},
    {"prores.mov", "-f lavfi -i testsrc2=size=96x64:rate=25 -t 1 -c:v prores_ks -profile:v 2", {}},
    {"mjpeg.avi",
     "-f lavfi -i testsrc2=size=96x64:rate=25 -t 1 -c:v mjpeg -pix_fmt yuvj420p -q:v 4",
     {}},
    {"vfr.mkv",
     "-f lavfi -i testsrc2=size=96x64:rate=25 -t 2 "
     "-vf 'setpts=(N*40+if(gte(N\\,20)\\,200\\,0)+if(gte(N\\,30)\\,(N-30)*20\\,0))/1000/TB' "
     "-fps_mode passthrough -c:v libx264 -preset ultrafast -bf 2 -pix_fmt yuv420p",
     {}},
    {"offset_start.mp4",
     "-f lavfi -i testsrc2=size=96x64:rate=30 -t 1.5 -c:v libx264 -preset ultrafast -bf 2 "
     "-pix_fmt yuv420p -output_ts_offset 3.5",
     {}},
};

}  // namespace clips
