#!/usr/bin/env bash
# Runs the built tool end to end under valgrind's memcheck: YUV (with and without an alpha
# file, from a file and from a pipe) and MPEG input, every algorithm, offline and per-step
# output, and one run that fails; and the decoder alone on pictures that it scales. Any
# memcheck error, definite leak or unexpected exit code fails the script.
# Usage: scripts/valgrind.sh [build folder, default build/release]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(cd "${1:-build/release}/bin" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PATH="$bin:$PATH" DISPLAY=

# Smooth moving test pictures, so that the algorithms find real backgrounds.
gen() {  # gen <size> <frames> <output> [ffmpeg output options...]
  local size=$1 frames=$2 out=$3; shift 3
  ffmpeg -loglevel error -f lavfi -i "testsrc=size=$size:rate=25" -frames:v "$frames" "$@" "$out"
}
gen 48x32 8 "$work/seq.yuv" -pix_fmt yuv420p -f rawvideo
gen 45x29 7 "$work/odd.yuv" -pix_fmt yuv420p -f rawvideo
gen 48x32 8 "$work/seq.mpg" -c:v mpeg1video -f mpeg
gen 45x29 3 "$work/tagged.mkv" -pix_fmt yuv422p10le -colorspace bt709 -c:v ffv1
head -c $((48 * 32 * 8)) /dev/zero | tr '\0' '\377' > "$work/alpha"

status=0
run() {  # run <expected exit code> <what> <shell command line with $Q for the tool, $M mpgfeed>
  local code=$1 what=$2 cmd=$3 got=0
  local V="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite"
  V+=" --track-origins=yes"
  cmd=${cmd//\$Q/$V quillmere -x}
  (cd "$work" && eval "${cmd//\$M/$V mpgfeed}") >"$work/log" 2>&1 || got=$?
  if [ "$got" -ne "$code" ] || grep -q '^==[0-9]*==' "$work/log"; then
    echo "valgrind: $what: FAILED (exit code $got, expected $code)"
    cat "$work/log"
    status=1
  else
    echo "valgrind: $what: clean"
  fi
}

run 0 "yuv, aging and average, per step" \
  '$Q -r 48x32 -a aging -2 average -o out1- seq.yuv'
run 0 "yuv, median and mode, offline" \
  '$Q -r 48x32 -a median -2 mode -n 4 -l -o out2- seq.yuv'
run 0 "odd-sized yuv, first and last, motion marking, speedup" \
  '$Q -r 45x29 -a first -2 last -t -s 2 -o out3- odd.yuv'
run 0 "yuv with alpha file, simmat, per step" \
  '$Q -r 48x32 -a simmat -n 6 -A x -o out4- seq.yuv alpha'
run 0 "yuv from a pipe ending inside a frame, simmat offline" \
  'head -c 10000 seq.yuv | $Q -r 48x32 -a simmat -n 6 -l -o out5- /dev/stdin'
run 0 "mpeg, simmat and median, per step" \
  '$Q -f mpeg -a simmat -n 6 -2 median -o out6- seq.mpg'
run 0 "mpeg, mode offline with motion marking" \
  '$Q -f mpeg -a mode -t -l -o out7- seq.mpg'
run 0 "odd-sized 4:2:2 10-bit BT.709 video, decoder alone" \
  '$M -L -W records.bin tagged.mkv'
run 2 "output folder missing" \
  '$Q -r 48x32 -a median -o no-such-folder/bg seq.yuv'
ls "$work" | grep -q '^out1-0007.ppm$' || { echo "valgrind: no per-step output"; status=1; }
exit $status
