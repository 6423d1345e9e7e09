#!/usr/bin/env bash
# Fuzzing the reader library with libFuzzer.
#   bash scripts/fuzz.sh video|audio|cache SECONDS   build (build-fuzz/), make the seeds, run one
#                                              target (cache: the reader of the index cache's files)
#   bash scripts/fuzz.sh build                 only build the targets
#   bash scripts/fuzz.sh corpus                only make the seeds (build-fuzz/corpus/{video,audio,cache})
# New inputs go to build-fuzz/corpus/<target>; crashes, leaks and time-outs to
# build-fuzz/findings/<target>/ (copy a reduced one to tests/fuzz/crashes/ once it is fixed).
# Two targets at once: `bash scripts/fuzz.sh build`, then each run with ZR8_FUZZ_NO_BUILD=1.
# Installs clang and its fuzzer runtime with apt-get when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=build-fuzz

need_clang() {
  if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq clang libclang-rt-14-dev || $sudo apt-get install -y -qq clang
  fi
}

build() {
  need_clang
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DZR8_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build "$BUILD" -j2 --target zr8_fuzz_video zr8_fuzz_audio zr8_fuzz_cache
}

# Writes one seed: a tiny clip made by ffmpeg with a 16-byte request trailer appended.
seed() {
  local dir=$1 name=$2 trailer=$3
  shift 3
  local clip="$BUILD/corpus/clips/$name"
  [ -f "$clip" ] || ffmpeg -nostdin -loglevel error -y "$@" "$clip"
  { cat "$clip"; printf "$trailer"; } >"$dir/$name.seed"
}

# Writes one seed from a clip that a shell command makes ($1 in it is the clip's path): files of
# other toolchains, and streams joined or cut to carry layout changes and edit lists.
made() {
  local dir=$1 name=$2 trailer=$3 command=$4
  local clip="$BUILD/corpus/clips/$name"
  [ -f "$clip" ] || bash -c "$command" _ "$clip" </dev/null >/dev/null
  { cat "$clip"; printf "$trailer"; } >"$dir/$name.seed"
}

corpus() {
  local v="$BUILD/corpus/video" a="$BUILD/corpus/audio"
  mkdir -p "$v" "$a" "$BUILD/corpus/clips"
  local src="-f lavfi -i testsrc2=size=64x48:rate=10:duration=1"
  local tone="-f lavfi -i sine=frequency=440:sample_rate=8000:duration=0.5"
  local t1='\x00\x00\x08\x00\x07\xfc\x05\x30\x80\xff\xfe\xfd\x10\x55\x01\x00'
  local t2='\x01\x01\x00\x02\x03\x7e\x7d\x10\x00\xfc\xfd\x20\x40\xaa\x00\x00'
  seed "$v" h264.mp4 "$t1" $src -c:v libx264 -g 4 -bf 2 -pix_fmt yuv420p
  seed "$v" h264-open.mkv "$t2" $src -c:v libx264 -x264-params open-gop=1:keyint=5 -bf 3
  seed "$v" hevc10.mkv "$t1" $src -c:v libx265 -x265-params log-level=none -pix_fmt yuv420p10le
  seed "$v" vp9.webm "$t2" $src -c:v libvpx-vp9 -g 3 -deadline realtime
  seed "$v" mpeg2.ts "$t1" $src -c:v mpeg2video -g 4 -bf 2
  seed "$v" prores.mov "$t2" -f lavfi -i testsrc2=size=32x16:rate=10:duration=0.3 -c:v prores_ks
  seed "$v" mjpeg.avi "$t1" $src -c:v mjpeg
  seed "$v" ffv1.mkv "$t2" $src -c:v ffv1 -pix_fmt yuv422p
  seed "$v" vfr.mp4 "$t1" $src -vf "setpts='N*0.1/TB+if(gt(N,4),0.05/TB,0)'" -fps_mode vfr -c:v libx264 -bf 1
  seed "$v" start.mp4 "$t2" $src -output_ts_offset 3 -c:v libx264 -g 3
  # Files whose times do not give the frame order (ordered by one decode), and damaged pictures.
  seed "$v" mpeg4-b.avi "$t1" $src -c:v mpeg4 -bf 2 -g 5 -vtag XVID
  seed "$v" h264-b.avi "$t2" $src -c:v libx264 -bf 3 -g 5
  # Packed B-frames (a P and a B picture in one packet, then a placeholder), which mencoder writes.
  if command -v mencoder >/dev/null; then
    made "$v" mpeg4-packed.avi "$t2" "ffmpeg -nostdin -loglevel error -y $src -pix_fmt yuv420p \$1.y4m &&
      mencoder -really-quiet \$1.y4m -ovc xvid -xvidencopts bitrate=200:max_bframes=2:packed -o \$1 && rm \$1.y4m"
  fi
  seed "$v" mpeg2-ps.mpg "$t1" $src -c:v mpeg2video -bf 2 -g 5 -f mpeg
  seed "$v" raw.h264 "$t2" $src -c:v libx264 -bf 2 -g 5
  seed "$v" raw.hevc "$t1" $src -c:v libx265 -x265-params log-level=none:keyint=5
  seed "$v" raw.m2v "$t2" $src -c:v mpeg2video -bf 2 -g 5
  seed "$v" slices.mp4 "$t1" $src -c:v libx264 -g 5 -bf 2 -x264-params slices=4
  # Bytes in the middle of the file (inside a picture) overwritten.
  cp "$v/slices.mp4.seed" "$v/damaged.mp4.seed"
  printf '\x5a\xa5\x00\xff\x13\x37\xc0\xde' |
    dd of="$v/damaged.mp4.seed" bs=1 seek=$(($(stat -c %s "$v/slices.mp4.seed") / 2)) conv=notrunc status=none
  # A transport stream with ten transport packets lost (the demuxer flags the damaged packet).
  made "$v" loss.ts "$t1" "ffmpeg -nostdin -loglevel error -y $src -c:v libx264 -g 4 -bf 2 -f mpegts \$1.t &&
    { head -c 7520 \$1.t; tail -c +9401 \$1.t; } >\$1 && rm \$1.t"
  seed "$a" aac.m4a "$t1" $tone -c:a aac -b:a 24k
  seed "$a" mp3.mp3 "$t2" $tone -c:a libmp3lame -b:a 32k
  seed "$a" mp2.mp2 "$t1" -f lavfi -i sine=sample_rate=16000:duration=0.5 -c:a mp2
  seed "$a" opus.ogg "$t2" $tone -c:a libopus -b:a 16k
  seed "$a" vorbis.ogg "$t1" $tone -c:a libvorbis
  seed "$a" flac.flac "$t2" $tone -c:a flac
  seed "$a" alac.m4a "$t1" $tone -c:a alac
  seed "$a" ac3.ac3 "$t2" -f lavfi -i sine=sample_rate=32000:duration=0.3 -c:a ac3 -b:a 64k
  seed "$a" pcm.wav "$t1" $tone -c:a pcm_s16le
  seed "$a" two.mkv "$t2" $tone -f lavfi -i sine=frequency=880:sample_rate=8000:duration=0.4 \
    -map 0 -map 1 -c:a:0 flac -c:a:1 pcm_s24le
  seed "$a" av.mp4 "$t1" $src $tone -map 0 -map 1 -c:v libx264 -c:a aac -b:a 24k
  # Layout, rate and trim classes, and other toolchains' files.
  local ff="ffmpeg -nostdin -loglevel error -y" wav="$BUILD/corpus/clips/tone.wav"
  [ -f "$wav" ] || $ff -f lavfi -i sine=frequency=440:sample_rate=8000:duration=0.5 -ac 2 "$wav"
  local st="$ff -f lavfi -i sine=sample_rate=8000:duration=0.3 -ac 2 -c:a aac -b:a 24k -f adts"
  local mo="$ff -f lavfi -i sine=sample_rate=8000:duration=0.3 -ac 1 -c:a aac -b:a 16k -f adts"
  local lo="$ff -f lavfi -i sine=sample_rate=16000:duration=0.3 -ac 2 -c:a aac -b:a 24k -f adts"
  made "$a" stereo-mono.aac "$t1" "$st \$1.a && $mo \$1.b && cat \$1.a \$1.b >\$1"
  made "$a" mono-stereo.aac "$t2" "$st \$1.a && $mo \$1.b && cat \$1.b \$1.a >\$1"
  made "$a" rate.aac "$t1" "$st \$1.a && $lo \$1.b && cat \$1.a \$1.b >\$1"
  made "$a" edit.mp4 "$t2" "$ff -i $wav -c:a aac -f mp4 \$1.m && $ff -ss 0.13 -i \$1.m -c copy -f mp4 \$1"
  made "$a" flac.mkv "$t1" "$ff -i $wav -c:a flac -f matroska \$1"
  made "$a" ac3.avi "$t2" "$ff $src -i $wav -c:v mpeg4 -c:a ac3 -f avi \$1"
  made "$a" lame.mp3 "$t1" "lame --quiet -b 32 $wav \$1"
  made "$a" opusenc.opus "$t2" "opusenc --quiet $wav \$1"
  made "$a" oggenc.ogg "$t1" "oggenc -Q -o \$1 $wav"
  made "$a" sox.flac "$t2" "sox $wav -t flac \$1"
  made "$a" mkvmerge.mkv "$t1" "flac -s -f -o \$1.flac $wav && mkvmerge -q -o \$1 \$1.flac"
  made "$a" gst.mkv "$t2" "gst-launch-1.0 -q audiotestsrc num-buffers=10 ! audioconvert ! flacenc ! matroskamux ! filesink location=\$1"
  cp "$a/av.mp4.seed" "$v"/
  # The cache files the library writes for the video clips.
  ZR8_FUZZ_CACHE_SEEDS="$BUILD/corpus/clips:$BUILD/corpus/cache" "$BUILD/zr8_fuzz_cache" >/dev/null 2>&1 ||
    echo "no seeds for the cache target (build zr8_fuzz_cache first)" >&2
}

run() {
  local target=$1 seconds=$2
  [ -n "${ZR8_FUZZ_NO_BUILD:-}" ] || build  # set it when two runs start together
  [ -d "$BUILD/corpus/$target" ] || corpus
  mkdir -p "$BUILD/findings/$target" "$BUILD/cache-home"
  # The library's caches in the build tree, not the user's.
  XDG_CACHE_HOME="$PWD/$BUILD/cache-home" "$BUILD/zr8_fuzz_$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$BUILD/findings/$target/" "$BUILD/corpus/$target"
}

case "${1:-}" in
  build) build ;;
  corpus) corpus ;;
  video | audio | cache) run "$1" "${2:-60}" ;;
  *) echo "usage: $0 video|audio|cache SECONDS | build | corpus" >&2; exit 2 ;;
esac
