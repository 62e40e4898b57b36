#!/usr/bin/env bash
# Runs the quillmere of two build folders (the 32-bit and the 64-bit build) on one generated
# sequence with every algorithm and compares the PPM files they write byte for byte.
# Usage: scripts/compare-builds.sh BUILD_DIR_A BUILD_DIR_B   (exits non-zero on any difference)
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR_A BUILD_DIR_B" >&2; exit 2; }
builds=("$1" "$2")
for b in "${builds[@]}"; do
  [ -x "$b/bin/quillmere" ] || { echo "compare-builds: no $b/bin/quillmere" >&2; exit 2; }
done

work=$(mktemp -d /tmp/quillmere-compare.XXXXXX)
trap 'rm -rf "$work"' EXIT

# An odd frame size, so the chroma planes have a partial last column and row.
w=45 h=29 frames=40
# A textured still background, two objects crossing it and a little noise; alpha planes with a
# moving hole, a fixed opaque-but-not-full patch and scattered invalid samples.
LC_ALL=C awk -v w=$w -v h=$h -v n=$frames -v yuv="$work/seq.yuv" -v alpha="$work/seq.alpha" '
function rnd() { seed = (seed * 69069 + 1) % 4294967296; return int(seed / 65536) % 256 }
function inbox(x, y, t) {
  return (x >= (3 * t) % w && x < (3 * t) % w + 9 && y >= 8 && y < 15) ||
         (x >= w - 1 - (2 * t) % w - 6 && x < w - 1 - (2 * t) % w && y >= 18 + t % 4 && y < 25 + t % 4)
}
function plane(pw, ph, t, base, s,    x, y, v) {
  for (y = 0; y < ph; y++)
    for (x = 0; x < pw; x++) {
      v = base + (x * 7 + y * 13 + (x * y) % 17 * 5) % 150
      if (inbox(x * s, y * s, t)) v = 240 - base / 2
      v += rnd() % 5 - 2
      printf("%c", v < 0 ? 0 : (v > 255 ? 255 : v)) > yuv
    }
}
BEGIN {
  seed = 1
  cw = int((w + 1) / 2); ch = int((h + 1) / 2)
  for (t = 0; t < n; t++) {
    plane(w, h, t, 30, 1); plane(cw, ch, t, 60, 2); plane(cw, ch, t, 90, 2)
    for (y = 0; y < h; y++)
      for (x = 0; x < w; x++) {
        a = 255
        if (x >= (5 * t) % w && x < (5 * t) % w + 4) a = 0
        if (x < 6 && y < 6) a = 128
        if (rnd() < 8) a = rnd() % 255
        printf("%c", a) > alpha
      }
  }
}'

status=0
run() {  # run NAME OPTIONS...: the same run with both builds, then the comparison
  local name=$1; shift
  local i
  for i in 0 1; do
    mkdir -p "$work/$i/$name"
    if ! "${builds[$i]}/bin/quillmere" -x -r ${w}x$h "$@" -o "$work/$i/$name/bg" \
         2>"$work/$i/$name.err"; then
      echo "compare-builds: ${builds[$i]} failed on $name:" >&2
      cat "$work/$i/$name.err" >&2
      status=1
      return
    fi
  done
  if [ -z "$(ls "$work/0/$name")" ]; then
    echo "compare-builds: $name wrote no background" >&2
    status=1
  elif ! diff -r "$work/0/$name" "$work/1/$name" >&2; then
    echo "compare-builds: the backgrounds of $name differ" >&2
    status=1
  fi
}

for algo in aging average median mode first last simmat; do
  run "$algo-alpha-motion" -a "$algo" -n 9 -A 1 -t "$work/seq.yuv" "$work/seq.alpha"
  run "$algo-offline" -a "$algo" -n 12 -d 2 -l "$work/seq.yuv"
done
run "aging-factor" -a aging -G 0.7 -s 3 -A 1 "$work/seq.yuv" "$work/seq.alpha"
run "mode-fuzzyness" -a mode -F 9 -n 20 -A 1 -t "$work/seq.yuv" "$work/seq.alpha"

[ $status -eq 0 ] && echo "compare-builds: $(find "$work/0" -name '*.ppm' | wc -l) backgrounds alike"
exit $status
