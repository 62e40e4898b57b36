#!/usr/bin/env bash
# Times the decoder program mpgfeed against the FFmpeg tool decoding the same file to raw 4:2:0
# (with its default threads), on a generated 1080p H.264 file of 300 moving pictures, and
# mpgfeed on a BT.709-tagged encode against the same encode with its colour tags cleared, side
# by side with hyperfine; prints the ratios for each mpgfeed given.
# Usage: bench/compare-decoder.sh [MPGFEED...]   (default build/release/bin/mpgfeed; RUNS=5 runs
# per command; CODECS="h264 hevc vp9 mpeg2" adds the other codecs to the first comparison)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${RUNS:-5}
codecs=${CODECS:-h264}
[ $# -gt 0 ] || set -- build/release/bin/mpgfeed
decoders=()
for d in "$@"; do
  case $d in /*) ;; *) d=$root/$d ;; esac
  decoders+=("$d")
done

"$root/scripts/install-packages.sh" hyperfine ffmpeg

if [ ! -x "${decoders[0]}" ] && [ "$#" -eq 1 ] && [ "$1" = build/release/bin/mpgfeed ]; then
  cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build/release" -j "$(nproc)" --target mpgfeed
fi

work=$(mktemp -d /tmp/quillmere-decoder.XXXXXX)
trap 'rm -rf "$work"' EXIT

source="testsrc2=size=1920x1080:rate=25"
encode() {  # encode FILE ENCODER-OPTIONS...
  local file=$1
  shift
  ffmpeg -v error -nostdin -f lavfi -i "$source" -frames:v 300 -pix_fmt yuv420p "$@" \
    -y "$work/$file"
}
for codec in $codecs; do
  case $codec in
    h264) ;;  # below
    hevc) encode hevc.mp4 -c:v libx265 -x265-params log-level=error ;;
    vp9) encode vp9.webm -c:v libvpx-vp9 -deadline good -cpu-used 4 -row-mt 1 ;;
    mpeg2) encode mpeg2.mpg -c:v mpeg2video -q:v 3 -bf 2 ;;
    *) echo "unknown codec $codec" >&2; exit 2 ;;
  esac
done
# The same encode with its colour tags cleared (2: unspecified), bit for bit otherwise.
encode h264-709.mp4 -c:v libx264 -colorspace bt709 -color_primaries bt709 -color_trc bt709 \
  -color_range tv
ffmpeg -v error -nostdin -i "$work/h264-709.mp4" -c copy \
  -bsf:v h264_metadata=matrix_coefficients=2:colour_primaries=2:transfer_characteristics=2 \
  -y "$work/h264-untagged.mp4"

file_of() {
  case $1 in
    h264) echo h264-untagged.mp4 ;;
    hevc) echo hevc.mp4 ;;
    vp9) echo vp9.webm ;;
    mpeg2) echo mpeg2.mpg ;;
  esac
}

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')
load=$(cut -d' ' -f1-3 /proc/loadavg)
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $cpu, $(nproc) cores, load: $load"
echo "300 pictures of 1920x1080, $runs runs per command"

means() { awk -F, 'NR > 1 { print $2 }' "$1"; }

for codec in $codecs; do
  f=$work/$(file_of "$codec")
  cmds=(-n "ffmpeg $codec"
    "ffmpeg -v error -nostdin -i $f -f rawvideo -pix_fmt yuv420p -y /dev/null")
  for d in "${decoders[@]}"; do cmds+=(-n "$d $codec" "$d -L -W /dev/null $f"); done
  hyperfine -N --warmup 1 --runs "$runs" --export-csv "$work/$codec.csv" "${cmds[@]}"
done
cmds=()
for d in "${decoders[@]}"; do
  cmds+=(-n "$d BT.709" "$d -L -W /dev/null $work/h264-709.mp4")
  cmds+=(-n "$d tags cleared" "$d -L -W /dev/null $work/h264-untagged.mp4")
done
hyperfine -N --warmup 1 --runs "$runs" --export-csv "$work/colour.csv" "${cmds[@]}"

echo
echo "Summary (seconds for 300 pictures; ratio = mpgfeed time / other time)"
for codec in $codecs; do
  read -r -a t <<<"$(means "$work/$codec.csv" | tr '\n' ' ')"
  for i in "${!decoders[@]}"; do
    awk -v c="$codec" -v d="${decoders[$i]}" -v f="${t[0]}" -v m="${t[$((i + 1))]}" 'BEGIN {
      printf "%-6s %s: %.3f s, ffmpeg %.3f s, ratio %.2f\n", c, d, m, f, m / f }'
  done
done
read -r -a t <<<"$(means "$work/colour.csv" | tr '\n' ' ')"
for i in "${!decoders[@]}"; do
  awk -v d="${decoders[$i]}" -v a="${t[$((2 * i))]}" -v b="${t[$((2 * i + 1))]}" 'BEGIN {
    printf "BT.709 %s: %.3f s, tags cleared %.3f s, ratio %.2f\n", d, a, b, a / b }'
done
