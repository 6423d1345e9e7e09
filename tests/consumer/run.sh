#!/usr/bin/env bash
# Uses an install of a complete build as a program outside the project would: stages `cmake
# --install` under DESTDIR, checks its files, builds consumer.c against it through pkg-config and
# find_package(Zr8Reader), runs both and the installed client; then the same for the unpacked
# Debian package (cpack -G DEB).
#   tests/consumer/run.sh [BUILD_DIR]     (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
work=$build/consumer-check
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
major=${version%%.*}
rm -rf "$work/stage" "$work/deb" "$work/unpacked"
mkdir -p "$work/media"

# A 2 s 320x240 clip with B-frames, kept between runs.
clip=$work/media/clip.mp4
[ -s "$clip" ] || ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=25 \
  -t 2 -c:v libx264 -pix_fmt yuv420p -bf 2 "$clip"

fail() {
  echo "consumer check: $*" >&2
  exit 1
}

# check ROOT: the tree under ROOT/usr, wherever its library directory is.
check() {
  local root=$1 out=$1.checks library libdir flags consumer status=0
  library=$(find "$root/usr" -name libZr8Reader.so -print -quit)
  [ -n "$library" ] || fail "no libZr8Reader.so under $root/usr"
  libdir=$(dirname "$library")
  mkdir -p "$out/client"

  # Exactly these files: nothing from the tests, the benchmark or the fakes.
  (cd "$root" && find . ! -type d | sed "s|^\./${libdir#"$root"/}/|LIBDIR/|; s|^\./||" |
    sed 's/Targets-[a-z]*\.cmake$/Targets-CONFIG.cmake/' | sort) >"$out/files"
  printf '%s\n' usr/bin/Zr8ReaderDllClient usr/include/Zr8Reader.h LIBDIR/libZr8Reader.so \
    LIBDIR/cmake/Zr8Reader/Zr8Reader{Config,ConfigVersion,Targets-CONFIG,Targets}.cmake \
    "LIBDIR/libZr8Reader.so.$major" "LIBDIR/libZr8Reader.so.$version" \
    LIBDIR/pkgconfig/zr8reader.pc LIBDIR/zr8reader/zr8reader-detect | sort >"$out/expected"
  diff -u "$out/expected" "$out/files" || fail "$root holds other files than expected"
  readelf -d "$libdir/libZr8Reader.so.$version" | grep -q "SONAME.*\[libZr8Reader.so.$major\]" ||
    fail "libZr8Reader.so.$version lacks its SONAME"

  # The consumer through pkg-config (the sysroot puts the staged tree before its paths) and through
  # CMake's package.
  flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$libdir/pkgconfig \
    pkg-config --cflags --libs zr8reader)
  # shellcheck disable=SC2086
  cc -std=c11 -Wall -Wextra -Werror "$here/consumer.c" $flags -o "$out/consumer-pkgconfig"
  cmake -S "$here" -B "$out/cmake" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
  cmake --build "$out/cmake" >/dev/null
  for consumer in "$out/consumer-pkgconfig" "$out/cmake/zr8consumer"; do
    readelf -d "$consumer" | grep -q "NEEDED.*\[libZr8Reader.so.$major\]" ||
      fail "$consumer does not link libZr8Reader.so.$major"
    LD_LIBRARY_PATH=$libdir XDG_CACHE_HOME=$out/cache "$consumer" "$clip" >"$out/consumer.txt"
    [ "$(cat "$out/consumer.txt")" = "1 0" ] || fail "$consumer printed: $(cat "$out/consumer.txt")"
  done

  # The installed client, run as it is meant to be: from a folder that holds the library.
  ln -sf "$library" "$out/client/libZr8Reader.so"
  (cd "$out/client" && "$root/usr/bin/Zr8ReaderDllClient" "$clip" -video -extract) \
    >"$out/client.txt" 2>&1 || status=$?
  [ "$status" -eq 255 ] || fail "the installed client exited with $status: $(cat "$out/client.txt")"
  [ "$(stat -c %s "$out/client/zr8reader.I420")" -eq $((50 * 320 * 240 * 3 / 2)) ] ||
    fail "the installed client did not write 50 320x240 I420 pictures"
  echo "consumer check: $root passes"
}

DESTDIR=$work/stage cmake --install "$build" --prefix /usr >/dev/null
check "$work/stage"

cpack --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null
package=$(echo "$work"/deb/zr8reader_*.deb)
dpkg-deb --info "$package"
dpkg-deb --contents "$package"
depends=$(dpkg-deb --field "$package" Depends)
for library in libavformat libavcodec libswscale libswresample ocl-icd-libopencl1; do
  [[ $depends == *"$library"* ]] || fail "the package's Depends lack $library: $depends"
done
dpkg-deb -x "$package" "$work/unpacked"
check "$work/unpacked"
