#!/usr/bin/env bash
# Measures the peak memory of the decoder program mpgfeed alone in a memory cgroup, page cache
# left out, on encodes of every codec family at 480p to 2160p and at 1, 8 and 16 decoder
# threads, next to the memory that the mpgfeed under test says it needs (its claim, told on the
# pipe that MPGFEED_NEED_FD names; none from an mpgfeed that tells nothing) and the memory that
# the old formula of pixkit::FileReader_MPEG::AskDecoderMemory claims for it.
# Writes one TSV line per clip and thread count, and bench/DECODER-MEMORY.md from all of them.
# Runs as root (cgroups; asking for the claims alone needs no root). The clips are encoded once
# into CLIPS_DIR and kept for later runs.
#
# Usage: bench/decoder-memory.sh [MPGFEED] [CLIPS_DIR]
#   (defaults build/release/bin/mpgfeed and /work/clips)
# Environment:
#   CLIPS=REGEX     only the clips whose names match (extended regex), e.g. 'h264|-2160p'
#   THREADS="1 8 16" decoder thread counts; RUNS=2 runs each, the highest peak counts
#   JOBS=3          encodes at a time (nothing is measured while encoding)
#   TSV=FILE        the results (default CLIPS_DIR/decoder-memory.tsv); a re-run replaces the
#                   lines of what it measures and keeps the others
#   REPORT=FILE     the Markdown written from the TSV (default bench/DECODER-MEMORY.md, empty:
#                   none); its "## Notes" section, when it has one, is kept
#                   (a relative TSV or REPORT is taken from the repository's top)
#   STEPS="encode check measure report"  what to do; the step "claims" (not done unless named)
#                   asks MPGFEED for the claims of the TSV's lines that CLIPS leaves, without
#                   measuring again: STEPS="claims report" TSV=... bench/decoder-memory.sh MPGFEED
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# The settings that shape the figures, for the report (a filter only picks lines to redo).
command_line="bench/decoder-memory.sh${*:+ $*}"
for v in THREADS RUNS STEPS; do [ -z "${!v:-}" ] || command_line="$v=\"${!v}\" $command_line"; done
mpgfeed=${1:-build/release/bin/mpgfeed}
clips=${2:-/work/clips}
case $mpgfeed in /*) ;; *) mpgfeed=$root/$mpgfeed ;; esac
filter=${CLIPS:-.}
threads_list=${THREADS:-1 8 16}
runs=${RUNS:-2}
jobs_max=${JOBS:-3}
tsv=${TSV:-$clips/decoder-memory.tsv}
report=${REPORT-$root/bench/DECODER-MEMORY.md}
steps=${STEPS:-encode check measure report}
step() { [[ " $steps " == *" $1 "* ]]; }
note() { echo "decoder-memory: $*" >&2; }

mkdir -p "$clips"
work=$(mktemp -d /tmp/decoder-memory.XXXXXX)
cg=""  # the measurements' cgroup, one at a time
cleanup() {
  [ -z "$cg" ] || rmdir "$cg" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# ---- The clips: name (family-structure-format.ext, the size goes before the extension),
# sizes (a height, or WIDTHxHEIGHT), frames, the encoder's options, and options of a copy made
# afterwards, if any. They are tagged BT.709, so that mpgfeed converts every picture (8-bit 4:2:0
# ones would pass as they are); the untagged MPEG-2 clips clear the tags on purpose, so that no
# colour conversion runs.
defaults="480 720 1080 2160"
heavy="720 1080 2160"
x264_heavy="-c:v libx264 -x264-params ref=16:bframes=8:b-pyramid=normal:b-adapt=2:log-level=error"
# x265 refuses more than 6 references with B-pyramids (8 in all). The MPEG-2 encoder writes a
# width of 4096, whose low 12 bits are 0, only at a lower strictness.
x265_heavy="-c:v libx265 -x265-params ref=6:bframes=16:log-level=error"
vp9="-c:v libvpx-vp9 -deadline good -cpu-used 4 -row-mt 1"
untagged="-colorspace unknown -color_primaries unknown -color_trc unknown"
noise="-vf noise=alls=20:allf=t"
clip_table="
mpeg1video-default-420.mpg|$defaults|64|-c:v mpeg1video -pix_fmt yuv420p
mpeg2video-default-420.m2v|$defaults|64|-c:v mpeg2video -pix_fmt yuv420p
mpeg4-default-420.avi|$defaults 64x64|64|-c:v mpeg4 -pix_fmt yuv420p
mjpeg-default-420.avi|$defaults|64|-c:v mjpeg -pix_fmt yuvj420p
vp9-default-420.webm|$defaults|64|$vp9 -pix_fmt yuv420p
h264-default-420.mp4|$defaults|64|-c:v libx264 -pix_fmt yuv420p -x264-params log-level=error
hevc-default-420.mp4|$defaults 64x64|64|-c:v libx265 -pix_fmt yuv420p -x265-params log-level=error
h264-ref16-420.mp4|$heavy|64|$x264_heavy -pix_fmt yuv420p
h264-ref16-420p10.mp4|$heavy|64|$x264_heavy -pix_fmt yuv420p10le
h264-ref16-422.mp4|$heavy|64|$x264_heavy -pix_fmt yuv422p
h264-ref16-422p10.mp4|$heavy|64|$x264_heavy -pix_fmt yuv422p10le
h264-ref16-444.mp4|$heavy|64|$x264_heavy -pix_fmt yuv444p
h264-ref16-444p10.mp4|$heavy|64|$x264_heavy -pix_fmt yuv444p10le
h264-rot90-420.mp4|1080 2160|64|-c:v libx264 -pix_fmt yuv420p -x264-params log-level=error|-metadata:s:v:0 rotate=90
hevc-ref6b16-420.mp4|$heavy|64|$x265_heavy -pix_fmt yuv420p
hevc-ref6b16-420p10.mp4|$heavy|64|$x265_heavy -pix_fmt yuv420p10le
hevc-ref6b16-422p10.mp4|$heavy|64|$x265_heavy -pix_fmt yuv422p10le
hevc-ref6b16-444.mp4|$heavy|64|$x265_heavy -pix_fmt yuv444p
vp9-default-420p10.webm|$heavy|64|$vp9 -pix_fmt yuv420p10le -profile:v 2
vp9-default-444.webm|$heavy|64|$vp9 -pix_fmt yuv444p -profile:v 1
mpeg2video-bf2-420.m2v|$heavy|64|-c:v mpeg2video -pix_fmt yuv420p -bf 2
mpeg2video-bf2-422.m2v|$heavy|64|-c:v mpeg2video -pix_fmt yuv422p -bf 2
mpeg4-bf2-420.avi|$heavy|64|-c:v mpeg4 -pix_fmt yuv420p -bf 2
mjpeg-default-422.avi|$heavy|64|-c:v mjpeg -pix_fmt yuvj422p
mjpeg-default-444.avi|$heavy|64|-c:v mjpeg -pix_fmt yuvj444p
ffv1-default-420.mkv|$heavy|32|-c:v ffv1 -pix_fmt yuv420p
ffv1-default-444p10.mkv|$heavy|32|-c:v ffv1 -pix_fmt yuv444p10le
prores-default-422p10.mov|$heavy|32|-c:v prores_ks -pix_fmt yuv422p10le
vp8-default-420.webm|$heavy|32|-c:v libvpx -deadline good -cpu-used 4 -pix_fmt yuv420p
av1-default-420.mkv|$heavy|32|-c:v libaom-av1 -cpu-used 8 -row-mt 1 -pix_fmt yuv420p
h264-lossless-444.mkv|1080 2160|32|-c:v libx264 -qp 0 -pix_fmt yuv444p -preset ultrafast $noise
mpeg1video-noisybf2-420.mpg|1080 4095x2160|64|-c:v mpeg1video -b:v 50M -maxrate 60M -bufsize 20M -bf 2 $noise
mpeg4-interlaced-420.avi|1080 2160|64|-c:v mpeg4 -bf 4 -flags +ildct+ilme+qpel+mv4
mpeg2video-untagged-420.m2v|64x64 1917x1079 1080|64|-c:v mpeg2video $untagged
mpeg2video-untagged-420.m2v|4096x2160|64|-c:v mpeg2video $untagged -strict unofficial
"
declare -A width_of=([480]=854 [720]=1280 [1080]=1920 [2160]=3840)
encoders=$(ffmpeg -hide_banner -encoders 2>/dev/null)

# Lines "clip|frames|width|height|options|copy options" of the table that pass the filter.
expand_clips() {
  local name sizes frames opts copy s base ext file w h
  while IFS='|' read -r name sizes frames opts copy; do
    [ -n "$name" ] || continue
    base=${name%.*} ext=${name##*.}
    for s in $sizes; do
      if [[ $s == *x* ]]; then file=$base-$s.$ext w=${s%x*} h=${s#*x}
      else file=$base-${s}p.$ext w=${width_of[$s]} h=$s; fi
      [[ $file =~ $filter ]] || continue
      echo "$file|$frames|$w|$h|$opts|$copy"
    done
  done <<<"$clip_table"
}

encode_one() {  # encode_one FILE FRAMES WIDTH HEIGHT COPY-OPTIONS OPTIONS...
  local file=$1 frames=$2 w=$3 h=$4 copy=$5
  shift 5
  local all=" $* " enc
  enc=${all#* -c:v }
  enc=${enc%% *}
  if ! grep -q " $enc " <<<"$encoders"; then
    note "skipped $file: this ffmpeg has no encoder $enc"
    return 0
  fi
  local tmp="$clips/.part-$file" src="testsrc2=size=${w}x$h:rate=25"
  # The source's own 4:2:0 would lose an odd column or line.
  [ $((w % 2 + h % 2)) -eq 0 ] || src=$src,format=yuv444p
  # The tags come first, so that a clip's own options can clear them.
  # shellcheck disable=SC2068,SC2086
  if ffmpeg -v error -nostdin -f lavfi -i "$src" -frames:v "$frames" \
      -colorspace bt709 -color_primaries bt709 -color_trc bt709 $@ -y "$tmp" 2>"$work/$file.log" &&
    # An encode drops a rotate tag, which a copy turns into a display matrix.
    { [ -z "$copy" ] || { ffmpeg -v error -nostdin -i "$tmp" -c copy $copy -y "$clips/.copy-$file" \
      2>>"$work/$file.log" && mv "$clips/.copy-$file" "$tmp"; }; }
  then
    mv "$tmp" "$clips/$file"
    note "encoded $file"
  else
    rm -f "$tmp" "$clips/.copy-$file"
    note "skipped $file: the encode failed: $(tail -n 3 "$work/$file.log" | tr '\n' ' ')"
  fi
}

if step encode; then
  while IFS='|' read -r file frames w h opts copy; do
    [ -s "$clips/$file" ] && continue
    while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n || true; done
    # shellcheck disable=SC2086
    encode_one "$file" "$frames" "$w" "$h" "$copy" $opts &
  done < <(expand_clips)
  wait
fi

# ---- The memory cgroup below our own (v1: the memory hierarchy's; v2: the unified one).
cg_parent="" cg_peak="" cg_v2=0
if line=$(grep -E '^[0-9]+:([^:]*,)?memory(,[^:]*)?:' /proc/self/cgroup); then
  cg_parent=/sys/fs/cgroup/memory${line##*:}
  cg_peak=memory.max_usage_in_bytes
elif [ -f /sys/fs/cgroup/cgroup.controllers ] &&
     line=$(grep -E '^0::' /proc/self/cgroup); then
  cg_parent=/sys/fs/cgroup${line#0::}
  cg_peak=memory.peak cg_v2=1
fi
cg_parent=${cg_parent%/}
cg=$cg_parent/decoder-memory-$$

# The preloaded library that makes the decoder see N CPUs.
cores_so=$work/cores.so
cc -O2 -shared -fPIC -o "$cores_so" "$root/bench/cores.c" -ldl

machine_cpus=$(taskset -pc $$ | sed 's/.*: //' | awk -F, '{n=0; for(i=1;i<=NF;i++){split($i,r,"-"); n+=(r[2]==""?1:r[2]-r[1]+1)} print n}')
launcher() {  # the command prefix that makes mpgfeed run T threads
  if [ "$1" -eq 1 ]; then echo "taskset -c 0"
  elif [ "$1" -eq "$machine_cpus" ]; then echo ""
  else echo "env LD_PRELOAD=$cores_so DM_CPUS=$1"; fi
}

# Charges the clip, the program and its libraries to our own cgroup's page cache first.
warm() {
  cat "$1" "$mpgfeed" "$cores_so" > /dev/null
  ldd "$mpgfeed" | awk '$3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' | xargs cat > /dev/null
}

# measure CLIP THREADS [cold]: prints "cgroup-peak rss-peak cache-charged" in bytes, or fails.
measure() {
  local clip=$1 t=$2
  [ "${3:-}" = cold ] || warm "$clip"
  mkdir "$cg"
  if [ ! -f "$cg/$cg_peak" ]; then
    rmdir "$cg"
    note "the cgroup $cg has no $cg_peak (v2: memory not enabled below, or a kernel before 5.19)"
    return 1
  fi
  local rc=0
  # shellcheck disable=SC2046
  /usr/bin/time -f %M -o "$work/rss" sh -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$cg" \
    $(launcher "$t") "$mpgfeed" -L -W /dev/null "$clip" 2>"$work/err" || rc=$?
  local peak rss cache
  peak=$(cat "$cg/$cg_peak")
  rss=$(( $(tail -n 1 "$work/rss") * 1024 ))
  if [ "$cg_v2" = 1 ]; then cache=$(awk '$1 == "file" {print $2}' "$cg/memory.stat")
  else cache=$(awk '$1 == "cache" {print $2}' "$cg/memory.stat"); fi
  for _ in $(seq 200); do rmdir "$cg" 2>/dev/null && break; sleep 0.05; done
  if [ "$rc" -ne 0 ]; then
    note "mpgfeed failed ($rc) on $clip at $t threads: $(head -c 300 "$work/err")"
    return 1
  fi
  echo "$peak $rss $cache"
}

# Most threads that a run on CLIP shows in /proc at once, with the launcher for T.
count_threads() {
  local clip=$1 t=$2 pid most=0 n
  # shellcheck disable=SC2046
  $(launcher "$t") "$mpgfeed" -L -W /dev/null "$clip" &
  pid=$!
  while n=$(ls "/proc/$pid/task" 2>/dev/null | wc -l) && [ "$n" -gt 0 ]; do
    [ "$n" -gt "$most" ] && most=$n
    sleep 0.01
  done
  wait "$pid" || true
  echo "$most"
}

# ask_claim CLIP THREADS: prints the most bytes that mpgfeed says decoding CLIP needs (it tells
# again whenever its need grows, a line "<bytes> <threads> ..." each time), asked with the
# launcher of the measurement so that it sees as many CPUs; nothing when it tells nothing (an
# mpgfeed that does not know MPGFEED_NEED_FD) or tells more threads than THREADS on the line of
# the most bytes (fewer is its choice: a decoder without threads, as MJPEG's, tells 1 at every
# count).
ask_claim() {
  local clip=$1 t=$2 lines line bytes told most="" most_told=""
  # Its descriptor 3 is the pipe of the command substitution. It decodes the whole clip, as a
  # later picture may raise the need.
  # shellcheck disable=SC2046
  lines=$(MPGFEED_NEED_FD=3 $(launcher "$t") "$mpgfeed" -L -W /dev/null "$clip" \
    3>&1 >/dev/null 2>/dev/null) || true
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    read -r bytes told _ <<<"$line"
    if ! [[ $bytes =~ ^[0-9]+$ && ${told:-} =~ ^[0-9]+$ ]]; then
      note "$(basename "$clip"), $t threads: mpgfeed told \"$line\", not \"<bytes> <threads> ...\""
      return 0
    fi
    if [ -z "$most" ] || ((10#$bytes > 10#$most)); then most=$bytes most_told=$told; fi
  done <<<"$lines"
  [ -n "$most" ] || return 0
  if ((10#$most_told > t)); then
    note "$(basename "$clip"): mpgfeed tells its need for $most_told threads, more than $t; left out"
  else
    echo "$most"
  fi
}

if step check || step measure; then
  [ "$(id -u)" -eq 0 ] || { note "must run as root, for the memory cgroups"; exit 1; }
  [ -n "$cg_parent" ] && [ -d "$cg_parent" ] || { note "no memory cgroup found"; exit 1; }
  # v2 gives a child the memory controller only where its parent hands it down.
  if [ "$cg_v2" = 1 ] && ! grep -qw memory "$cg_parent/cgroup.subtree_control"; then
    echo +memory > "$cg_parent/cgroup.subtree_control" ||
      { note "cannot enable the memory controller below $cg_parent"; exit 1; }
  fi
  [ -x "$mpgfeed" ] || { note "no mpgfeed at $mpgfeed"; exit 1; }
fi

# ---- Checks, once: the thread counts the launchers give, and that the page cache of the clip
# stays out (a clip read from disk inside the cgroup charges it; one read before does not).
check_file=$clips/decoder-memory-checks.txt
if step check; then
  probe=$clips/h264-default-420-1080p.mp4
  if [ ! -s "$probe" ]; then  # else the first clip there is
    probe=""
    while IFS='|' read -r file _; do
      [ -s "$clips/$file" ] && { probe=$clips/$file; break; }
    done < <(expand_clips)
  fi
  [ -n "$probe" ] || note "no clip to check with"
  if [ -n "$probe" ]; then
    {
      echo "clip $(basename "$probe"), $(stat -c %s "$probe") bytes"
      for t in $threads_list; do
        echo "threads asked $t: at most $(count_threads "$probe" "$t") threads in /proc/PID/task"
      done
      read -r p1 r1 c1 < <(measure "$probe" 8)
      read -r p2 r2 c2 < <(measure "$probe" 8)
      # Drops the clip's page cache; pages not yet written back would stay.
      sync "$probe"
      dd if="$probe" iflag=nocache count=0 status=none
      read -r p3 r3 c3 < <(measure "$probe" 8 cold)
      echo "8 threads, clip read before: peak $p1, again $p2; page cache charged $c1, $c2"
      echo "8 threads, clip not in page cache: peak $p3 (+$((p3 - p2))); page cache charged $c3"
      echo "RSS peaks (bytes): $r1, $r2, $r3"
    } | tee "$check_file" >&2
  fi
fi

# ---- Measurements: one line per clip and thread count.
old_claim() {  # as pixkit::FileReader_MPEG::AskDecoderMemory
  local w=$1 h=$2 t=$3 p
  p=$(( (w + 15) / 16 * 16 * ((h + 15) / 16 * 16) * 3 / 2 ))
  echo $(( p * (53 + 8 * t) / 2 + 8 * 1048576 + t * 3 * 1048576 / 2 ))
}
header="clip	codec	pix_fmt	width	height	refs	has_b_frames	threads	cgroup_peak	rss_peak	old_claim	claim"
# Gives a TSV written before the column claim an empty one.
add_claim_column() {
  head -n 1 "$tsv" | grep -q $'\tclaim$' && return 0
  awk -F'\t' -v OFS='\t' '{ print $0, (NR == 1 ? "claim" : "") }' "$tsv" > "$work/tsv"
  cat "$work/tsv" > "$tsv"
}
if step measure; then
  [ -s "$tsv" ] || echo "$header" > "$tsv"
  add_claim_column
  while IFS='|' read -r file _; do
    clip=$clips/$file
    [ -s "$clip" ] || continue
    # After decoding (-count_frames), where the decoder has set refs and has_b_frames.
    info=$(ffprobe -v error -count_frames -select_streams v:0 -show_streams \
      -show_entries stream=codec_name,pix_fmt,width,height,refs,has_b_frames -of default=nw=1 "$clip")
    get() { sed -n "s/^$1=//p" <<<"$info"; }
    w=$(get width) h=$(get height)
    for t in $threads_list; do
      peak=0 rss=0 ok=1
      for _ in $(seq "$runs"); do
        if ! read -r p r c < <(measure "$clip" "$t"); then ok=0; break; fi
        [ "$c" -gt 4194304 ] && note "$file: $c bytes of page cache charged in the cgroup"
        [ "$p" -gt "$peak" ] && peak=$p
        [ "$r" -gt "$rss" ] && rss=$r
      done
      [ "$ok" = 1 ] || continue
      claim=$(ask_claim "$clip" "$t")
      # Replaces an earlier line of the same clip and thread count.
      awk -F'\t' -v c="$file" -v t="$t" '!($1 == c && $8 == t)' "$tsv" > "$work/tsv"
      printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$file" "$(get codec_name)" \
        "$(get pix_fmt)" "$w" "$h" "$(get refs)" "$(get has_b_frames)" "$t" "$peak" "$rss" \
        "$(old_claim "$w" "$h" "$t")" "$claim" >> "$work/tsv"
      cat "$work/tsv" > "$tsv"
      note "$file, $t threads: peak $((peak / 1048576)) MiB, RSS $((rss / 1048576)) MiB${claim:+, claim $((claim / 1048576)) MiB}"
    done
  done < <(expand_clips)
fi

# ---- Claims alone: what mpgfeed tells for the clip and thread count of each line, peaks kept.
if step claims; then
  [ -x "$mpgfeed" ] || { note "no mpgfeed at $mpgfeed"; exit 1; }
  [ -s "$tsv" ] || { note "no results in $tsv to ask the claims for"; exit 1; }
  add_claim_column
  : > "$work/claims"
  asked=0 told=0
  while IFS=$'\t' read -r file t; do
    [[ $file =~ $filter ]] || continue
    if [ ! -s "$clips/$file" ]; then
      note "no clip $clips/$file: the claim of its line at $t threads stays"
      continue
    fi
    claim=$(ask_claim "$clips/$file" "$t")
    printf '%s\t%s\t%s\n' "$file" "$t" "$claim" >> "$work/claims"
    asked=$((asked + 1))
    [ -z "$claim" ] || told=$((told + 1))
  done < <(awk -F'\t' 'NR > 1 { print $1 "\t" $8 }' "$tsv")
  awk -F'\t' -v OFS='\t' 'NR == FNR { claim[$1, $2] = $3; next }
    FNR > 1 && (($1, $8) in claim) { $12 = claim[$1, $8] } { print }' "$work/claims" "$tsv" > "$work/tsv"
  cat "$work/tsv" > "$tsv"
  note "asked $asked lines of $tsv for the claim; $told told one"
fi

# ---- The report.
[ -n "$report" ] && step report || exit 0
[ -s "$tsv" ] || { note "no results in $tsv"; exit 1; }
notes="" prev_peaks="" prev_claims=""
if [ -f "$report" ]; then
  notes=$(sed -n '/^## Notes/,$p' "$report")
  # The command lines that the report names, for the figures that this run does not redo.
  prev_peaks=$(sed -n 's/^    Peaks: *//p' "$report" | head -n 1)
  [ -n "$prev_peaks" ] ||  # a report from before the claims, with one command line
    prev_peaks=$(grep -E -m 1 '^    ([A-Z]+="[^"]*" )*bench/decoder-memory\.sh' "$report" | sed 's/^ *//') || true
  prev_claims=$(sed -n 's/^    Claims: *//p' "$report" | head -n 1)
fi
if step measure; then peaks_cmd=$command_line claims_cmd=$command_line
else
  peaks_cmd=${prev_peaks:-(not named)} claims_cmd=${prev_claims:-(not named)}
  step claims && claims_cmd=$command_line
  # The runs of the peaks, where their command line sets them.
  [[ $peaks_cmd =~ RUNS=\"([0-9]+)\" ]] && runs=${BASH_REMATCH[1]}
fi
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
mem=$(awk '$1 == "MemTotal:" {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)
{
  cat <<EOF
# Decoder memory

Peak memory of the decoder program mpgfeed alone in a memory cgroup of its own (page cache
of the clip, the program and its libraries read beforehand from outside, so left out), next to
two claims of the memory it needs:

- *claim*: what the decoder tells. The mpgfeed under test writes "<bytes> <threads> ..." to the
  pipe that MPGFEED_NEED_FD names before its first record, and again whenever its need grows;
  the most bytes of a whole decode count. It is asked with the same launcher as the
  measurement, so for the same threads. Empty where the mpgfeed under test tells nothing.
- *old claim*: the formula of \`pixkit::FileReader_MPEG::AskDecoderMemory\` that the program
  used before the decoder told its need: picture = ceil16(w) * ceil16(h) * 3/2,
  old claim = picture * (53 + 8T)/2 + 8 MiB + T * 1.5 MiB.

Highest of $runs runs per clip and thread count T. One thread: \`taskset -c 0\`; T equal to the
machine's CPUs: as is; other T: bench/cores.c preloaded, so the decoder's CPU count says T.
Clips: \`testsrc2\` (moving; "noisy" and lossless ones with \`noise=alls=20:allf=t\`), 64 frames
(32 for ffv1, prores, vp8, av1, lossless H.264), tagged BT.709 but the untagged MPEG-2 ones.
Peaks measured and claims asked with (the first argument: the mpgfeed under test):

    Peaks:  $peaks_cmd
    Claims: $claims_cmd

Machine: $(nproc) CPUs of "$cpu", $mem, $(uname -sr), cgroup $([ "$cg_v2" = 1 ] && echo v2 || echo v1),
$(ffmpeg -hide_banner -version | head -n 1 | cut -d' ' -f1-3). Raw results: \`${tsv#"$root"/}\`.
Written $(date -u '+%Y-%m-%d %H:%M UTC').

EOF
  if [ -s "$check_file" ]; then
    echo "Checks (bytes):"
    echo
    sed 's/^/    /' "$check_file"
    echo
  fi
  awk -F'\t' -f - "$tsv" <<'AWK'
function mb(x) { return sprintf("%.1f", x / 1048576) }
function abs(x) { return x < 0 ? -x : x }
# The name's parts: family, structure, format, size ("1080p" or "1917x1079").
function part(c, i,   a) { split(c, a, "-"); return a[i] }
function sizeof(c,   s) { s = part(c, 4); sub(/\..*/, "", s); return s }
function pic(w, h) { return int((w + 15) / 16) * 16 * int((h + 15) / 16) * 16 * 3 / 2 }
# The terms of a fit with 3 (a, b, c) or 4 (a, d, b, c) coefficients, in X.
function features(model, P, T) {
  if (model == 3) { X[1] = 1; X[2] = P; X[3] = P * T }
  else { X[1] = 1; X[2] = T; X[3] = P; X[4] = P * T }
}
# Solves M S = V (n unknowns) by Gaussian elimination with partial pivoting; 0 when singular.
function solve(n,   r, s, u, p, f, t) {
  for (r = 1; r <= n; r++) {
    p = r
    for (s = r + 1; s <= n; s++) if (abs(M[s, r]) > abs(M[p, r])) p = s
    if (abs(M[p, r]) < 1e-12 * (abs(M[1, 1]) + 1)) return 0
    if (p != r) {
      for (u = 1; u <= n; u++) { t = M[r, u]; M[r, u] = M[p, u]; M[p, u] = t }
      t = V[r]; V[r] = V[p]; V[p] = t
    }
    for (s = r + 1; s <= n; s++) {
      f = M[s, r] / M[r, r]
      for (u = r; u <= n; u++) M[s, u] -= f * M[r, u]
      V[s] -= f * V[r]
    }
  }
  for (r = n; r >= 1; r--) { S[r] = V[r]; for (u = r + 1; u <= n; u++) S[r] -= M[r, u] * S[u]; S[r] /= M[r, r] }
  return 1
}
NR == 1 { next }
{
  clip = $1
  if (!(clip in seen)) { seen[clip] = 1; order[++n] = clip }
  codec[clip] = $2; fmt[clip] = $3; wd[clip] = $4; ht[clip] = $5; refs[clip] = $6; bf[clip] = $7
  if (!($8 in tseen)) { tseen[$8] = 1; ts[++nt] = $8 }
  peak[clip, $8] = $9; rss[clip, $8] = $10; old[clip, $8] = $11
  if (NF >= 12 && $12 != "") tell[clip, $8] = $12
}
END {
  # Thread counts in rising order.
  for (i = 1; i <= nt; i++) for (j = i + 1; j <= nt; j++) if (ts[j] + 0 < ts[i] + 0) { sw = ts[i]; ts[i] = ts[j]; ts[j] = sw }
  # Clips by family, structure, format, height and width.
  for (i = 1; i <= n; i++) {
    c = order[i]; key[c] = sprintf("%s %s %s %05d %05d", part(c, 1), part(c, 2), part(c, 3), ht[c], wd[c])
  }
  for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (key[order[j]] < key[order[i]]) { sw = order[i]; order[i] = order[j]; order[j] = sw }

  print "## Peaks (MB = MiB)"
  print ""
  printf "| clip | codec | pix_fmt | size | refs | B |"
  for (k = 1; k <= nt; k++) printf " peak T=%s |", ts[k]
  for (k = 1; k <= nt; k++) printf " RSS T=%s |", ts[k]
  for (k = 1; k <= nt; k++) printf " claim T=%s |", ts[k]
  for (k = 1; k <= nt; k++) printf " old claim T=%s |", ts[k]
  print ""
  printf "|---|---|---|---|---|---|"
  for (k = 1; k <= 4 * nt; k++) printf "---:|"
  print ""
  for (i = 1; i <= n; i++) {
    c = order[i]
    printf "| %s | %s | %s | %sx%s | %s | %s |", c, codec[c], fmt[c], wd[c], ht[c], refs[c], bf[c]
    for (k = 1; k <= nt; k++) printf " %s |", ((c, ts[k]) in peak) ? mb(peak[c, ts[k]]) : ""
    for (k = 1; k <= nt; k++) printf " %s |", ((c, ts[k]) in peak) ? mb(rss[c, ts[k]]) : ""
    for (k = 1; k <= nt; k++) printf " %s |", ((c, ts[k]) in tell) ? mb(tell[c, ts[k]]) : ""
    for (k = 1; k <= nt; k++) printf " %s |", ((c, ts[k]) in peak) ? mb(old[c, ts[k]]) : ""
    print ""
  }

  # The claim against the peak: the lowest ratio of all lines, the highest of the 8-bit 4:2:0
  # default clips of the families whose need the decoder knows (it gives the others a worst
  # case), the lines under 1.15; then per family, structure and format at T=1 and T=8.
  print ""
  print "## Claim against peak"
  print ""
  print "*claim*: what the decoder tells (above); *claim / peak*: the lowest and highest of the row."
  print ""
  split("mpeg1video mpeg2video mpeg4 mjpeg vp9 h264 hevc", kf, " ")
  for (i in kf) known[kf[i]] = 1
  nclaims = 0; nunder = 0; under = ""; lo = 1e9; hi = 0; lowat = ""; hiat = ""
  for (i = 1; i <= n; i++) for (k = 1; k <= nt; k++) {
    c = order[i]; t = ts[k]
    if (!((c, t) in tell) || !((c, t) in peak)) continue
    nclaims++; r = tell[c, t] / peak[c, t]
    if (r < lo) { lo = r; lowat = c " at T=" t }
    if (r < 1.15) { nunder++; under = under (nunder > 1 ? ", " : "") sprintf("%s at T=%s (%.2f)", c, t, r) }
    if ((part(c, 1) in known) && part(c, 2) == "default" && part(c, 3) == "420" && r > hi) { hi = r; hiat = c " at T=" t }
  }
  if (!nclaims) print "No claims: the mpgfeed under test tells none."
  else {
    printf "Claim / peak: lowest %.3f over all %d pairs of clip and thread count (%s)", lo, nclaims, lowat
    if (hi) printf "; highest %.3f over the 8-bit 4:2:0 default clips of the families whose need the decoder knows, MPEG-1, MPEG-2, MPEG-4 part 2, MJPEG, VP9, H.264 and HEVC (%s)", hi, hiat
    print "."
    print ""
    if (nunder) print "Under 1.15 x peak: " under "."
    else print "Under 1.15 x peak: none."
  }
  print ""
  print "| clip kind | T | peak 720p | claim 720p | old claim 720p | peak 1080p | claim 1080p | old claim 1080p | peak 2160p | claim 2160p | old claim 2160p | claim / peak |"
  print "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
  nk = 0
  for (i = 1; i <= n; i++) {
    c = order[i]; kd = part(c, 1) "-" part(c, 2) "-" part(c, 3)
    if (!(kd in kdseen)) { kdseen[kd] = 1; kinds[++nk] = kd }
    clipof[kd, sizeof(c)] = c
  }
  split("720p 1080p 2160p", csz, " ")
  split("1 8", cts, " ")
  for (q = 1; q <= nk; q++) for (u = 1; u <= 2; u++) {
    kd = kinds[q]; t = cts[u]; row = sprintf("| %s | %s |", kd, t); any = 0; lo = 1e9; hi = 0
    for (s = 1; s <= 3; s++) {
      c = ((kd, csz[s]) in clipof) ? clipof[kd, csz[s]] : ""
      if (c == "" || !((c, t) in peak)) { row = row " | | |"; continue }
      any = 1
      row = row sprintf(" %s | %s | %s |", mb(peak[c, t]), ((c, t) in tell) ? mb(tell[c, t]) : "", mb(old[c, t]))
      if ((c, t) in tell) { r = tell[c, t] / peak[c, t]; if (r < lo) lo = r; if (r > hi) hi = r }
    }
    if (!any) continue
    if (!hi) row = row " |"
    else if (sprintf("%.2f", lo) == sprintf("%.2f", hi)) row = row sprintf(" %.2f |", hi)
    else row = row sprintf(" %.2f-%.2f |", lo, hi)
    print row
  }

  # Peak as a share of the old claim at 8 threads, lowest and highest of a family's clips.
  print ""
  print "## Peak as a share of the old claim, 8 threads"
  print ""
  print "Lowest and highest of the family's clips at that size, in percent."
  print ""
  print "| family | 480p | 720p | 1080p | 2160p |"
  print "|---|---:|---:|---:|---:|"
  nf = 0
  for (i = 1; i <= n; i++) { f = part(order[i], 1); if (!(f in fseen)) { fseen[f] = 1; fam[++nf] = f } }
  for (q = 1; q <= nf; q++) {
    f = fam[q]; printf "| %s |", f
    split("480 720 1080 2160", sz, " ")
    for (s = 1; s <= 4; s++) {
      lo = 1e9; hi = 0
      for (i = 1; i <= n; i++) {
        c = order[i]
        if (part(c, 1) != f || sizeof(c) != sz[s] "p" || !((c, 8) in peak)) continue
        r = 100 * peak[c, 8] / old[c, 8]
        if (r < lo) lo = r; if (r > hi) hi = r
      }
      if (hi == 0) printf " |"; else if (sprintf("%.0f", lo) == sprintf("%.0f", hi)) printf " %.0f |", hi; else printf " %.0f-%.0f |", lo, hi
    }
    print ""
  }

  # Fits per family and structure on the 8-bit 4:2:0 clips (those of its one format, for a
  # family that has no 8-bit 4:2:0 clip), by least squares over all sizes
  # and thread counts: peak = a + P * (b + c * T), P the 8-bit 4:2:0 size of the 16-aligned
  # picture; and the same with a share per thread, a + d * T + P * (b + c * T).
  print ""
  print "## Fits, 8-bit 4:2:0 clips (a family that has none: its format, in brackets)"
  print ""
  print "P = ceil16(w) * ceil16(h) * 3/2 bytes, the old formula's picture (its b is 26.5, c 4,"
  print "a 8 MiB, d 1.5 MiB). Least squares over all sizes and thread counts. *worst*: the highest"
  print "peak / fit; *b'*: the b that makes the fit cover every peak (a, c, d kept)."
  print ""
  print "| family-structure | points | a (MiB) | b | c | worst | b' | a (MiB) | d (MiB) | b | c | worst | b' | old claim / peak, 8 threads |"
  print "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
  ng = 0
  for (i = 1; i <= n; i++) {
    c = order[i]
    g = part(c, 1) "-" part(c, 2)
    if (!(g in gseen)) { gseen[g] = 1; grp[++ng] = g; basefmt[g] = part(c, 3) }
    if (part(c, 3) == "420") basefmt[g] = "420"
  }
  for (q = 1; q <= ng; q++) {
    g = grp[q]
    line = sprintf("| %s |", g (basefmt[g] == "420" ? "" : " (" basefmt[g] ")"))
    for (model = 3; model <= 4; model++) {
      for (r = 1; r <= model; r++) { V[r] = 0; for (s = 1; s <= model; s++) M[r, s] = 0 }
      np = 0
      for (i = 1; i <= n; i++) {
        c = order[i]
        if (part(c, 1) "-" part(c, 2) != g || part(c, 3) != basefmt[g]) continue
        for (k = 1; k <= nt; k++) {
          if (!((c, ts[k]) in peak)) continue
          features(model, pic(wd[c], ht[c]), ts[k])
          for (r = 1; r <= model; r++) { V[r] += X[r] * peak[c, ts[k]]; for (s = 1; s <= model; s++) M[r, s] += X[r] * X[s] }
          np++
        }
      }
      if (model == 3) line = line sprintf(" %d |", np)
      if (np <= model || !solve(model)) { line = line (model == 3 ? " | | | | |" : " | | | | | |"); continue }
      worst = 0; need = -1e30; clo = 1e9; chi = 0
      for (i = 1; i <= n; i++) {
        c = order[i]
        if (part(c, 1) "-" part(c, 2) != g || part(c, 3) != basefmt[g]) continue
        for (k = 1; k <= nt; k++) {
          if (!((c, ts[k]) in peak)) continue
          P = pic(wd[c], ht[c]); features(model, P, ts[k])
          fit = 0; for (r = 1; r <= model; r++) fit += S[r] * X[r]
          if (peak[c, ts[k]] / fit > worst) worst = peak[c, ts[k]] / fit
          bb = S[model - 1] + (peak[c, ts[k]] - fit) / P
          if (bb > need) need = bb
          if (ts[k] == 8) { cr = old[c, 8] / peak[c, 8]; if (cr < clo) clo = cr; if (cr > chi) chi = cr }
        }
      }
      if (model == 3) { A[g] = S[1]; line = line sprintf(" %.1f | %.2f | %.3f | %.2f | %.2f |", S[1] / 1048576, S[2], S[3], worst, need) }
      else { A4[g] = S[1]; D4[g] = S[2]; line = line sprintf(" %.1f | %.2f | %.2f | %.3f | %.2f | %.2f |", S[1] / 1048576, S[2] / 1048576, S[3], S[4], worst, need) }
    }
    print line (chi ? sprintf(" %.1f-%.1f |", clo, chi) : " |")
  }

  # What the other formats multiply: the part of the peak above a + d*T (the 4-term fit's)
  # against that of the 8-bit 4:2:0 clip of the same family, structure, size and T.
  print ""
  print "## Other bit depths and chroma formats"
  print ""
  print "(peak - a - d*T) of the clip over that of the 8-bit 4:2:0 clip of the same family,"
  print "structure and size at the same T, a and d from the 4-term fit above: lowest to highest at"
  print "1080p and 2160p, and at 2160p for each T. Sample bytes against 8-bit 4:2:0: 10-bit"
  print "4:2:0 2, 4:2:2 1.33, 10-bit 4:2:2 2.67, 4:4:4 2, 10-bit 4:4:4 4."
  print ""
  printf "| clip kind | pix_fmt | 1080p-2160p |"
  for (k = 1; k <= nt; k++) printf " 2160p T=%s |", ts[k]
  print ""
  printf "|---|---|---:|"
  for (k = 1; k <= nt; k++) printf "---:|"
  print ""
  for (i = 1; i <= n; i++) {
    c = order[i]
    g = part(c, 1) "-" part(c, 2)
    if (part(c, 3) == basefmt[g]) continue
    kind = g "-" part(c, 3)
    if (kind in kseen) continue
    kseen[kind] = 1
    if (!(g in A4)) continue
    lo = 1e9; hi = -1e9; for (k = 1; k <= nt; k++) at[k] = ""
    for (j = 1; j <= n; j++) {
      d = order[j]
      if (part(d, 1) "-" part(d, 2) "-" part(d, 3) != kind) continue
      if (sizeof(d) != "1080p" && sizeof(d) != "2160p") continue
      base = g "-" basefmt[g] "-" part(d, 4)
      for (k = 1; k <= nt; k++) {
        if (!((d, ts[k]) in peak) || !((base, ts[k]) in peak)) continue
        rest = A4[g] + D4[g] * ts[k]
        r = (peak[d, ts[k]] - rest) / (peak[base, ts[k]] - rest)
        if (r < lo) lo = r; if (r > hi) hi = r
        if (sizeof(d) == "2160p") at[k] = sprintf("%.2f", r)
      }
    }
    if (hi < lo) continue
    printf "| %s | %s | %.2f to %.2f |", kind, fmt[c], lo, hi
    for (k = 1; k <= nt; k++) printf " %s |", at[k]
    print ""
  }
}
AWK
  if [ -n "$notes" ]; then echo; echo "$notes"; fi
} > "$report.tmp"
mv "$report.tmp" "$report"
note "wrote $report from $tsv"
