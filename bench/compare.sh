#!/usr/bin/env bash
# Times quillmere against ffmpeg's temporal median and mix filters on a generated 400-frame
# 352x288 4:2:0 sequence, side by side with hyperfine, and reports peak memory and the cost of
# the frame loop alone.
# Usage: bench/compare.sh [BUILD_DIR]   (default build/release; RUNS=3 runs per command,
# FRAMES=400 frames)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/release}
case $build in /*) ;; *) build=$root/$build ;; esac
runs=${RUNS:-3}
frames=${FRAMES:-400}
width=352
height=288
history=151

"$root/scripts/install-packages.sh" hyperfine ffmpeg time

quillmere=$build/bin/quillmere
if [ ! -x "$quillmere" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j "$(nproc)" --target quillmere
fi

work=$(mktemp -d /tmp/quillmere-compare.XXXXXX)
trap 'rm -rf "$work"' EXIT
seq=$work/seq.yuv

# A still, textured scene with sensor noise and two objects crossing it: what the tool is for.
ffmpeg -v error -f lavfi -i "testsrc2=size=${width}x${height}:rate=25,trim=start_frame=1:end_frame=2,loop=-1:1" \
  -f lavfi -i "color=c=0x3060c0:size=40x64:rate=25" -f lavfi -i "color=c=0xe0d040:size=72x32:rate=25" \
  -filter_complex "[0][1]overlay=x='mod(n*3,${width}+40)-40':y=150[a];[a][2]overlay=x=140:y='mod(n*2,${height}+32)-32',noise=alls=8:allf=t" \
  -frames:v $frames -pix_fmt yuv420p -f rawvideo -y "$seq"

cores=$(nproc)
input="-f rawvideo -pix_fmt yuv420p -video_size ${width}x${height} -i $seq"
q_median="$quillmere -x -a median -n $history $seq"
q_average="$quillmere -x -a average -n $history $seq"
q_aging="$quillmere -x -a aging $seq"
f_median_1="ffmpeg -v error -filter_threads 1 $input -vf format=yuv444p,tmedian=radius=75 -f null -"
f_median_n="ffmpeg -v error -filter_threads $cores $input -vf format=yuv444p,tmedian=radius=75 -f null -"
f_mix_1="ffmpeg -v error -filter_threads 1 $input -vf format=yuv444p,tmix=frames=$history -f null -"
f_mix_n="ffmpeg -v error -filter_threads $cores $input -vf format=yuv444p,tmix=frames=$history -f null -"

echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $cores cores, load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "$frames frames of ${width}x${height} 4:2:0, history/window $history, $runs runs per command"

# Prints the mean seconds of each command of a hyperfine CSV file, one per line.
means() { awk -F, 'NR > 1 { print $2 }' "$1"; }

hyperfine -N --runs "$runs" --export-csv "$work/median.csv" \
  -n "quillmere median" "$q_median" \
  -n "ffmpeg tmedian 1 thread" "$f_median_1" \
  -n "ffmpeg tmedian $cores threads" "$f_median_n"
hyperfine -N --runs "$runs" --export-csv "$work/average.csv" \
  -n "quillmere average" "$q_average" \
  -n "ffmpeg tmix 1 thread" "$f_mix_1" \
  -n "ffmpeg tmix $cores threads" "$f_mix_n"
hyperfine -N --runs "$runs" --export-csv "$work/aging.csv" -n "quillmere aging" "$q_aging"

peak() {  # peak <command...>: maximum resident set size in kB
  /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>&1
  awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' "$work/time.txt"
}

echo
echo "Summary (ms per frame, ratio = ffmpeg time / quillmere time)"
for kind in median average; do
  read -r q f1 fn <<<"$(means "$work/$kind.csv" | tr '\n' ' ')"
  awk -v k="$kind" -v q="$q" -v f1="$f1" -v fn="$fn" -v n=$frames -v c="$cores" 'BEGIN {
    printf "%-8s quillmere %7.2f | ffmpeg 1 thread %7.2f (ratio %5.1f) | ffmpeg %d threads %7.2f (ratio %5.1f)\n",
      k, 1000 * q / n, 1000 * f1 / n, f1 / q, c, 1000 * fn / n, fn / q }'
done
aging=$(means "$work/aging.csv")
awk -v a="$aging" -v n=$frames 'BEGIN {
  printf "frame loop with aging (whole run / frames, start-up included): %.3f ms per frame\n", 1000 * a / n }'

held_kb=$((history * width * height * 4 / 1024))
echo
echo "Peak memory (maximum resident set size; a history of $history 4:4:4 frames with alpha holds $((held_kb / 1024)) MiB)"
# The single-threaded median filter takes minutes and is left out here.
for cmd in q_median q_average q_aging f_mix_n; do
  # shellcheck disable=SC2086
  kb=$(peak ${!cmd})
  awk -v c="$cmd" -v kb="$kb" -v held="$held_kb" 'BEGIN {
    printf "%-10s %7.1f MiB  (%.2f times the frames held)\n", c, kb / 1024, kb / held }'
done
