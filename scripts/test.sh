#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds a release and a sanitizer build, and runs every test.
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

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)

build() {  # build <dir> <extra cmake args...>
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

build build/release
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
ctest --test-dir build/release --output-on-failure -j "$jobs" || status=1
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs" || status=1
scripts/fuzz.sh 30 || status=1
scripts/valgrind.sh build/release || status=1
exit $status
