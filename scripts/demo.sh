#!/usr/bin/env bash
# Reconstructs the background of a video on a fresh Debian machine: installs what is missing,
# builds quillmere and mpgfeed, runs the median algorithm over the video and prints the path of
# the background written below ./demo-output.
# Usage: scripts/demo.sh [VIDEO]
#   Without VIDEO it uses the pedestrian scene vtest.avi of Debian's opencv-doc package.
#   With DISPLAY set the run shows its windows, simmat's background beside median's, and writes a
#   background every 25 steps; without, it runs offline and writes one background for the whole
#   video.
set -euo pipefail

sample=/usr/share/doc/opencv-doc/examples/data/vtest.avi
start=$PWD
root=$(cd "$(dirname "$0")/.." && pwd)

say() { echo "demo: $*" >&2; }

packages=(
  build-essential cmake pkg-config libx11-dev libxext-dev libxv-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
)
if [ $# -gt 1 ]; then
  say "usage: scripts/demo.sh [VIDEO]"
  exit 2
elif [ $# -eq 1 ]; then
  if [ ! -f "$1" ] || [ ! -r "$1" ]; then
    say "cannot read the video '$1'"
    exit 1
  fi
  video=$(realpath "$1")
else
  video=$sample
  [ -r "$sample" ] || packages+=(opencv-doc)
fi

"$root/scripts/install-packages.sh" "${packages[@]}"
[ -r "$video" ] || { say "the sample video $video is missing"; exit 1; }

say "building"
build=$root/build/demo
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLMERE_TESTS=OFF \
  -DQUILLMERE_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
export PATH="$build/bin:$PATH"  # quillmere starts mpgfeed by name

cd "$start"
out=demo-output
mkdir -p "$out"
rm -f "$out"/background*.ppm
args=(-f mpeg -a median -o "$out/background")
if [ -n "${DISPLAY:-}" ]; then
  args+=(-2 simmat -s 25)
else
  # Offline the second background is neither shown nor written: no second algorithm.
  args+=(-l -x)
fi
say "reconstructing the background of $video"
quillmere "${args[@]}" "$video"

result=$(ls "$out"/background*.ppm 2>/dev/null | sort -V | tail -n 1)
[ -n "$result" ] || { say "no background was written"; exit 1; }
echo "$result"
