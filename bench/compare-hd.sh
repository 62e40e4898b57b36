#!/usr/bin/env bash
# Times quillmere on a generated 300-frame 1920x1080 4:2:0 sequence, every algorithm offline
# (-x -l -o), beside ffmpeg bringing the same frames to 4:4:4 on one thread, all in one
# hyperfine run, and reports each run's ratio to ffmpeg's, its kernel time, minor page faults
# and peak memory.
# Usage: bench/compare-hd.sh [BUILD_DIR]   (default build/release; RUNS=3 runs per command,
# FRAMES=300 frames; BEFORE=OTHER_BUILD_DIR times that build's quillmere in the same run)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
absolute() { case $1 in /*) echo "$1" ;; *) echo "$root/$1" ;; esac; }
build=$(absolute "${1:-build/release}")
before=${BEFORE:+$(absolute "$BEFORE")}
runs=${RUNS:-3}
frames=${FRAMES:-300}
size=1920x1080

"$root/scripts/install-packages.sh" hyperfine ffmpeg time

if [ ! -x "$build/bin/quillmere" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j "$(nproc)" --target quillmere
fi
if [ -n "$before" ] && [ ! -x "$before/bin/quillmere" ]; then
  echo "compare-hd: no $before/bin/quillmere" >&2
  exit 2
fi

work=$(mktemp -d /tmp/quillmere-compare-hd.XXXXXX)
trap 'rm -rf "$work"' EXIT
seq=$work/seq.yuv
ffmpeg -v error -f lavfi -i "testsrc2=size=$size:rate=25" -frames:v "$frames" \
  -pix_fmt yuv420p -f rawvideo -y "$seq"

# name, options, target ratio to ffmpeg ("today" for the history algorithms: no slower than
# the figures recorded in bench/RESULTS.md)
algos=("aging||1.5" "average|-n 150|2" "median|-n 50|today" "mode|-n 50|today" "first||1.5"
       "last||1.5")
baseline="ffmpeg -v error -threads 1 -filter_threads 1 -f rawvideo -pix_fmt yuv420p -s $size -i $seq -vf format=yuv444p -f null -"

commands=(-n "ffmpeg yuv444p" "$baseline")
for a in "${algos[@]}"; do
  IFS='|' read -r name opts _ <<<"$a"
  commands+=(-n "$name" "$build/bin/quillmere -x -l -r $size -a $name $opts -o $work/$name- $seq")
  [ -z "$before" ] ||
    commands+=(-n "$name before" "$before/bin/quillmere -x -l -r $size -a $name $opts -o $work/$name-before- $seq")
done

echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores, load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "$frames frames of $size 4:2:0, $runs runs per command"
hyperfine -N --runs "$runs" --export-csv "$work/times.csv" "${commands[@]}"

# One more run of each quillmere command for the kernel's share: system seconds, minor page
# faults, peak resident set.
declare -A sys
for ((i = 1; i < ${#commands[@]}; i += 3)); do
  name=${commands[i]}
  [ "$name" = "ffmpeg yuv444p" ] && continue
  # shellcheck disable=SC2086
  /usr/bin/time -f "%S %R %M" -o "$work/time.txt" ${commands[i + 1]} >/dev/null 2>&1
  sys[$name]=$(cat "$work/time.txt")
done

echo
echo "Summary (mean seconds; ratio = quillmere / ffmpeg; sys s, minor faults, peak MiB of one run)"
ffmpeg_mean=$(awk -F, '$1 == "ffmpeg yuv444p" { print $2 }' "$work/times.csv")
printf '%-16s %8.2f s\n' "ffmpeg yuv444p" "$ffmpeg_mean"
for a in "${algos[@]}"; do
  IFS='|' read -r name _ target <<<"$a"
  for n in "$name" ${before:+"$name before"}; do
    mean=$(awk -F, -v n="$n" '$1 == n { print $2 }' "$work/times.csv")
    read -r s faults kb <<<"${sys[$n]}"
    awk -v n="$n" -v m="$mean" -v f="$ffmpeg_mean" -v t="$target" -v s="$s" -v pf="$faults" -v kb="$kb" 'BEGIN {
      printf "%-16s %8.2f s  ratio %5.2f  (target %s)  sys %5.2f s  %8d faults  %6.1f MiB\n",
        n, m, m / f, t, s, pf, kb / 1024 }'
  done
done
