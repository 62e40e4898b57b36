#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds a release, a 32-bit x86 (on an amd64 host only) and a
# sanitizer build, and runs every test.
# Usage: scripts/test.sh   (exits non-zero when anything fails)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

packages=(
  build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  libx11-dev libxext-dev libxv-dev libxtst-dev
  xvfb xserver-xephyr libgl1-mesa-dri libxcomposite-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  ffmpeg
  clang libclang-rt-14-dev  # the libFuzzer targets (scripts/fuzz.sh)
  valgrind  # scripts/valgrind.sh
)
# the 32-bit x86 build (cmake/i386-linux-gnu.cmake), made with the multilib compiler of an
# x86-64 host
i386_packages=(
  g++-multilib libgtest-dev:i386 libgmock-dev:i386 libbenchmark-dev:i386
  libx11-dev:i386 libxext-dev:i386 libxv-dev:i386 libxtst-dev:i386 libxcomposite-dev:i386
  libavformat-dev:i386 libavcodec-dev:i386 libswscale-dev:i386 libavutil-dev:i386
)
host=$(dpkg --print-architecture)
i386=false
if [ "$host" = amd64 ]; then
  i386=true
  packages+=("${i386_packages[@]}")
else
  echo "test.sh: the 32-bit x86 build needs an amd64 host, this one is $host: it is skipped" >&2
fi

scripts/install-packages.sh "${packages[@]}"

jobs=$(nproc)

build() {  # build <dir> <extra cmake args...>
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

build build/release
if $i386; then
  build build/i386 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386-linux-gnu.cmake"
fi
build build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  -DCMAKE_C_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" -DQUILLMERE_BENCH=OFF

# The display tests' X servers run while the tests do and are stopped however the script ends.
xdir=$(mktemp -d /tmp/quillmere-xservers.XXXXXX)
trap 'scripts/xservers.sh stop "$xdir"' EXIT
trap 'exit 130' INT TERM
xenv=$(scripts/xservers.sh start "$xdir")
eval "$xenv"

status=0
passed=0
failed=0
# Counts one check run by the name it was given.
check() {
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; echo "FAILED: $name"; fi
}
check "release tests" ctest --test-dir build/release --output-on-failure -j "$jobs"
# An ELF file of class 1 (32 bits) for machine 3 (Intel 80386), as `file` would say.
i386_programs() {
  local f
  for f in quillmere quillmere-inspect mpgfeed; do
    if [ "$(od -An -tx1 -j4 -N1 "build/i386/bin/$f" | tr -d ' ')" != 01 ] ||
       [ "$(od -An -tx1 -j18 -N2 "build/i386/bin/$f" | tr -d ' ')" != 0300 ]; then
      echo "build/i386/bin/$f is no 32-bit x86 program" >&2
      return 1
    fi
  done
}
if $i386; then
  check "32-bit x86 programs" i386_programs
  check "32-bit tests" ctest --test-dir build/i386 --output-on-failure -j "$jobs"
  check "32-bit and 64-bit backgrounds alike" scripts/compare-builds.sh build/i386 build/release
fi
check "sanitizer tests" env ASAN_OPTIONS=detect_leaks=1 \
  LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs"
check "fuzzing" scripts/fuzz.sh 30
check "valgrind" scripts/valgrind.sh build/release
echo "checks: $passed passed, $failed failed"
$i386 || echo "the 32-bit x86 checks were skipped: this host is $host, not amd64"
exit $status
