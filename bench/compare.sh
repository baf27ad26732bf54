#!/usr/bin/env bash
# Kinetra against the ffmpeg command line on the same work, in one run.
#
#   bash bench/compare.sh [BUILD_DIR] [RUNS]
#
# Makes a 1080p30 clip and a 2160p30 one, each of FRAMES frames (300) with
# AAC sound, then times, RUNS times each (default 3) and interleaved
# (Kinetra, FFmpeg, Kinetra, ...), so that a busy machine slows both alike,
# whole renders with the same encoder settings on both sides (libx264
# veryfast crf 23, 2 threads), each with its peak memory (max RSS):
#   - `kinetra render` with an empty script against ffmpeg decoding and
#     encoding (a script without video commands hands the decoder's pictures
#     to the encoder as they are);
#   - the same with a script of one video command that changes nothing the
#     output shows (every picture converted to the plug-in's 16-bit pixels
#     and back), against the same;
#   - the chain (the previous frame blurred with defocus r=10, blended 50% with
#     alpha, a 72 px caption with a 4 px outline) against tpad, gblur, blend and
#     drawtext with a border;
#   - a look-back chain (the frame 30 before, copyframe, blended 50% with alpha,
#     the caption) against tpad of 30 frames, blend and drawtext;
#   - the chain on the 2160p clip;
#   - the chain against FFmpeg's graph working at Kinetra's own precision
#     (format=yuv444p16le before its filters; Kinetra's figure is the chain's).
#   The sound is left alone by every script: FFmpeg copies it (-c:a copy) and
#   Kinetra does what it does with a script that writes no sound (the summary
#   says whether its output's sound is the source's packets).
#   KINETRA_BENCH_AUDIO=none renders without sound on both sides (-an,
#   --no-audio).
#   - single commands on a 1080p frame (16-bit 4:4:4 on both sides) on 2
#     threads against FFmpeg's nearest filter: the filter call alone, i.e. the
#     time with the command less the time with an empty script (Kinetra,
#     bench/command_time) or with no filter (ffmpeg -benchmark, the frame
#     looped from a raw file). FFmpeg's figure is the difference of two runs
#     of FFMPEG_FRAMES frames each: over a few frames that difference is
#     smaller than the runs' own scatter, and the filter's setup weighs in.
#     A filter much cheaper than that scatter (copy) runs several times in a
#     row on FFmpeg's side, and the difference is divided by their number.
#     Both sides also give their processor time per frame (all threads), the
#     figure to trust on a shared machine.
# Prints medians and the speed ratio FFmpeg time / Kinetra time (above 1:
# Kinetra is faster). Copy, alpha and gamma are also given against a memcpy
# of the same bytes (Kinetra time / memcpy time).
set -euo pipefail

BUILD=${1:-build}
RUNS=${2:-3}
FRAMES=${KINETRA_BENCH_FRAMES:-300}
AUDIO=${KINETRA_BENCH_AUDIO:-copy}  # copy | none
CALLS=${KINETRA_BENCH_CALLS:-12}  # filter calls per command timing
FFMPEG_FRAMES=${KINETRA_BENCH_FFMPEG_FRAMES:-100}  # frames per FFmpeg command timing
THREADS=2
PRESET=veryfast
CRF=23

KINETRA=$(realpath "$BUILD/kinetra")
PLUGIN=$(realpath "$BUILD/kinetra.auf")
TIMER=$(realpath "$BUILD/bench/command_time")
for f in "$KINETRA" "$PLUGIN" "$TIMER"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "compare.sh: $f is missing (make bench builds it)" >&2; exit 1; }
done
command -v ffmpeg >/dev/null || { echo "compare.sh: ffmpeg is missing" >&2; exit 1; }
case "$AUDIO" in copy | none) ;; *) echo "compare.sh: KINETRA_BENCH_AUDIO is copy or none" >&2; exit 1 ;; esac
# GNU time gives the peak memory; without it the table says n/a.
GNU_TIME=/usr/bin/time
[ -x "$GNU_TIME" ] || GNU_TIME=""
FONT=$(fc-match -f '%{file}' IPAGothic 2>/dev/null || true)
[ -f "$FONT" ] || FONT=$(find /usr/share/fonts -iname 'ipag*.tt?' | head -1)

WORK=$(mktemp -d /tmp/kinetra-compare-XXXXXX)
trap 'rm -rf "$WORK"' EXIT

now() { date +%s.%N; }
load() { cut -d' ' -f1-3 /proc/loadavg; }
# Median of the numbers on standard input.
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }

echo "== machine"
# The processor's family and model, and the widest vector build the plug-in's
# kernels take on it.
cpu_field() { lscpu | sed -n "s/^$1:[[:space:]]*//p" | head -1; }
vectors="no AVX2"
grep -qw avx2 /proc/cpuinfo && vectors="AVX2 builds"
grep -qw avx512bw /proc/cpuinfo && grep -qw avx512vl /proc/cpuinfo && grep -qw avx512dq /proc/cpuinfo \
  && vectors="AVX-512 builds"
echo "cpu: $(cpu_field 'Model name') (family $(cpu_field 'CPU family'), model $(cpu_field 'Model')), $(nproc) cores visible, $vectors"
echo "memory: $(free -g | awk '/^Mem:/ {print $2}') GiB; load now: $(load)"
echo "ffmpeg: $(ffmpeg -version | head -1 | cut -d' ' -f1-3)"
echo "runs: $RUNS each, interleaved; clips: 1920x1080 and 3840x2160, 30 fps, $FRAMES frames, AAC sound ($AUDIO)"
echo

echo "== making the clips"
make_clip() {  # size file
  ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=$1:rate=30" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" -frames:v "$FRAMES" -shortest \
    -c:v libx264 -preset "$PRESET" -crf "$CRF" -pix_fmt yuv420p -threads "$THREADS" \
    -c:a aac -b:a 192k "$2"
}
make_clip 1920x1080 "$WORK/clip.mp4"
make_clip 3840x2160 "$WORK/clip4k.mp4"
ffmpeg -nostdin -v error -i "$WORK/clip.mp4" -frames:v 1 -pix_fmt yuv444p16le -f rawvideo \
  "$WORK/frame.raw"

# A directory with a clip (the 1080p one unless named) and a script ('@'
# separates the script's lines).
scene() {  # name script [clip]
  mkdir -p "$WORK/$1"
  ln "$WORK/${3:-clip.mp4}" "$WORK/$1/source.mp4"
  printf '%s\n' "$2" | tr '@' '\n' > "$WORK/$1/kinetra.txt"
}

# Runs a command and prints "seconds max_rss_MB" (n/a without GNU time).
measure() {
  local t0; t0=$(now)
  if [ -n "$GNU_TIME" ]; then
    "$GNU_TIME" -f '%M' -o "$WORK/rss.txt" "$@" >/dev/null
  else
    "$@" >/dev/null
  fi
  local rss=n/a
  [ -n "$GNU_TIME" ] && rss=$(awk 'END {printf "%.0f", $1 / 1024}' "$WORK/rss.txt")
  awk -v a="$t0" -v b="$(now)" -v m="$rss" 'BEGIN {print b - a, m}'
}

render_kinetra() {  # scene -> "seconds max_rss_MB"
  local sound=()
  [ "$AUDIO" = none ] && sound=(--no-audio)
  rm -f "$WORK/out.mp4"
  measure "$KINETRA" render "$WORK/$1/source.mp4" -o "$WORK/out.mp4" --quiet --threads "$THREADS" \
    --preset "$PRESET" --crf "$CRF" "${sound[@]}" --plugin "$PLUGIN"
}

render_ffmpeg() {  # clip graph ('' for none) -> "seconds max_rss_MB"
  local graph=() sound=(-c:a copy)
  [ "$AUDIO" = none ] && sound=(-an)
  if [ -n "$2" ]; then
    graph=(-filter_complex "$2" -map "[v]")
    [ "$AUDIO" = copy ] && graph+=(-map 0:a)
  fi
  measure ffmpeg -nostdin -v error -y -threads "$THREADS" -filter_threads "$THREADS" \
    -i "$WORK/$1" "${graph[@]}" -c:v libx264 -preset "$PRESET" -crf "$CRF" \
    -threads "$THREADS" -pix_fmt yuv420p "${sound[@]}" "$WORK/ffmpeg.mp4"
}

# The MD5 of a file's sound packets, as stored.
sound_packets() { ffmpeg -nostdin -v error -i "$1" -map 0:a -c copy -f md5 - 2>/dev/null || true; }

CAPTION="Kinetra benchmark"
FONT2="font2(IPAGothic, 72, 0, 0, 0, 4, 4096, 0, 0, 0, 0, 0)"
TEXT="text(0, w/2, h-120, 1, \"$CAPTION\")"
CHAIN="copyframe(2, f-1, 0, 0, w, h, 0, 0)
defocus(2, 3, 0, 0, w, h, 0, 0, 10)
alpha(3, 0, 0, 0, w, h, 0, 0, 0.5)
$FONT2
$TEXT"
scene empty ""
scene converted "fill(2, 0, 0, 1, 1, 0, 0, 0)"
scene chain "$CHAIN"
scene chain4k "$CHAIN" clip4k.mp4
scene lookback "copyframe(2, f-30, 0, 0, w, h, 0, 0)
alpha(2, 0, 0, 0, w, h, 0, 0, 0.5)
$FONT2
$TEXT"
DRAWTEXT="drawtext=fontfile=$FONT:text='$CAPTION':fontsize=72:fontcolor=white:borderw=4:\
bordercolor=black:x=(w-tw)/2:y=h-120"
# blend stops with the shorter input: tpad makes the other one longer.
BLEND="blend=all_mode=normal:all_opacity=0.5:shortest=1"
chain_graph() {  # format filter before the graph ('' for none)
  printf '%s' "[0:v]${1:+$1,}split[a][b];[b]tpad=start=1:start_mode=clone,gblur=sigma=5[p];\
[a][p]$BLEND,$DRAWTEXT[v]"
}
LOOKBACK_GRAPH="[0:v]split[a][b];[b]tpad=start=30:start_mode=clone[p];[a][p]$BLEND,$DRAWTEXT[v]"

# name | Kinetra's scene | FFmpeg's clip | FFmpeg's graph | target | label
RENDERS=(
  "empty|empty|clip.mp4||1.0|empty script vs decode + encode"
  "converted|converted|clip.mp4||-|one video command (pictures converted) vs decode + encode"
  "chain|chain|clip.mp4|$(chain_graph "")|1.25|chain vs tpad+gblur+blend+drawtext"
  "chain16|chain|clip.mp4|$(chain_graph format=yuv444p16le)|1.5|chain vs the same graph in yuv444p16le"
  "lookback|lookback|clip.mp4|$LOOKBACK_GRAPH|1.25|look-back chain (f-30) vs tpad+blend+drawtext"
  "chain4k|chain4k|clip4k.mp4|$(chain_graph "")|1.2|chain at 3840x2160"
)

declare -A K F KM FM LOADS
for r in "${RENDERS[@]}"; do
  IFS='|' read -r name _ <<<"$r"
  K[$name]=""; F[$name]=""; KM[$name]=""; FM[$name]=""
done
KINETRA_SOUND=""
for run in $(seq "$RUNS"); do
  echo "== render run $run of $RUNS (load $(load))"
  for r in "${RENDERS[@]}"; do
    IFS='|' read -r name scene clip graph _ <<<"$r"
    LOADS[$name]+="$(load | cut -d' ' -f1) "
    # The chain's Kinetra renders serve for the 16-bit graph too.
    if [ "$scene" = "$name" ]; then
      read -r t m <<<"$(render_kinetra "$scene")"
      K[$name]+="$t "; KM[$name]+="$m "
      if [ -z "$KINETRA_SOUND" ] && [ "$AUDIO" = copy ]; then
        if [ "$(sound_packets "$WORK/out.mp4")" = "$(sound_packets "$WORK/clip.mp4")" ]; then
          KINETRA_SOUND="copied (the source's packets)"
        else
          KINETRA_SOUND="encoded again (Kinetra does not copy the sound; FFmpeg does)"
        fi
      fi
    fi
    read -r t m <<<"$(render_ffmpeg "$clip" "$graph")"
    F[$name]+="$t "; FM[$name]+="$m "
  done
done

# ---- single commands ---------------------------------------------------------
ones() { printf '1'; for _ in $(seq 2 "$1"); do printf ' 1'; done; }
ROW=$(ones 21)
convolve() {  # mode
  local s="" p
  for p in 0 1 2; do s+="${p}m=$ROW:${p}rdiv=1/21:${p}mode=$1:"; done
  printf 'convolution=%s' "${s%:}"
}
# name | Kinetra script | FFmpeg's format | FFmpeg's filter [| times in a row]
COMMANDS=(
  "copy|copy(0, 2, 0, 0, w, h, 0, 0)|yuv444p16le|copy|8"
  "alpha|alpha(0, 2, 0, 0, w, h, 0, 0, 0.5)|yuv444p16le|split[a][b];[a][b]blend=all_opacity=0.5"
  "mkmask_rgb|mkmask_rgb(0, 2, 0, 0, w, h, 0, 0, 2000, 0, 0, 4096, 1500, 1500, 4096, 0)|rgba|colorkey=color=red:similarity=0.3"
  "resize|resize(0, 2, 0, 0, w, h, 0, 0, w/2, h/2)|yuv444p16le|scale=960:540:flags=bilinear"
  "rotate|rotate(0, 2, 0.3, 0, 0, w, h, 0, 0)|yuv444p16le|rotate=0.3:bilinear=1"
  "mosaic|mosaic(0, 2, 0, 0, w, h, 0, 0, 16, 16)|yuv444p16le|pixelize=w=16:h=16"
  "defocus|defocus(0, 2, 0, 0, w, h, 0, 0, 10)|yuv444p16le|$(convolve row),$(convolve column)"
  "gamma|gamma(0, 0, 0, w, h, 1.2, 1.0, 1.0)|yuv444p16le|lutyuv=y=gammaval(0.8333)"
  "text|font2(IPAGothic, 72, 0, 0, 0, 4, 4096, 0, 0, 0, 0, 0)@text(0, w/2, h-120, 1, \"$CAPTION\")|yuv444p16le|drawtext=fontfile=$FONT:text='$CAPTION':fontsize=72:fontcolor=white:borderw=4:bordercolor=black:x=(w-tw)/2:y=h-120"
)

repeat_filter() {  # filter times -> ",filter" that many times
  local i out=""
  for ((i = 0; i < $2; ++i)); do out+=",$1"; done
  printf '%s' "$out"
}
time_kinetra() {  # scene -> "call_ms memcpy_ms cpu_ms"
  "$TIMER" "$PLUGIN" "$WORK/$1/source.mp4" "$CALLS" "$THREADS" | awk '{print $2, $4, $6}'
}
time_ffmpeg() {  # graph -> "ms per frame" "processor ms per frame"
  ffmpeg -nostdin -benchmark -threads "$THREADS" -filter_threads "$THREADS" \
    -f rawvideo -pix_fmt yuv444p16le -s 1920x1080 -r 30 -stream_loop $((FFMPEG_FRAMES - 1)) \
    -i "$WORK/frame.raw" -vf "$1" -f null - 2>&1 |
    sed -n 's/.*utime=\([0-9.]*\)s stime=\([0-9.]*\)s rtime=\([0-9.]*\)s.*/\1 \2 \3/p' |
    awk -v n="$FFMPEG_FRAMES" '{printf "%.3f %.3f\n", 1000 * $3 / n, 1000 * ($1 + $2) / n}'
}

scene cmd_empty ""
declare -A KC FC MC KP FP
KC[empty]=""; KP[empty]=""
for c in "${COMMANDS[@]}"; do
  IFS='|' read -r name script format filter <<<"$c"
  scene "cmd_$name" "$script"
  KC[$name]=""; FC[$name]=""; FC[base_$name]=""; MC[$name]=""
  KP[$name]=""; FP[$name]=""; FP[base_$name]=""
done
for run in $(seq "$RUNS"); do
  echo "== command run $run of $RUNS"
  read -r call _ cpu <<<"$(time_kinetra cmd_empty)"
  KC[empty]+="$call "; KP[empty]+="$cpu "
  for c in "${COMMANDS[@]}"; do
    IFS='|' read -r name _ format filter times <<<"$c"
    read -r call copy cpu <<<"$(time_kinetra "cmd_$name")"
    KC[$name]+="$call "
    MC[$name]+="$copy "
    KP[$name]+="$cpu "
    read -r wall cpu <<<"$(time_ffmpeg "format=$format")"
    FC[base_$name]+="$wall "; FP[base_$name]+="$cpu "
    read -r wall cpu <<<"$(time_ffmpeg "format=$format$(repeat_filter "$filter" "${times:-1}")")"
    FC[$name]+="$wall "; FP[$name]+="$cpu "
  done
done

med() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | median; }

echo
echo "== results (medians of $RUNS interleaved runs; speed = FFmpeg time / Kinetra time)"
echo
echo "| work, $FRAMES frames (s; max RSS in MB) | Kinetra | FFmpeg | speed vs FFmpeg | target | Kinetra max RSS | FFmpeg max RSS |"
echo "|---|---|---|---|---|---|---|"
for r in "${RENDERS[@]}"; do
  IFS='|' read -r name scene _ _ target label <<<"$r"
  k=$(med "${K[$scene]}"); f=$(med "${F[$name]}")
  echo "| $label | $k | $f | $(ratio "$f" "$k") | $target | $(med "${KM[$scene]}") | $(med "${FM[$name]}") |"
done
echo
echo "sound: ${KINETRA_SOUND:-left out on both sides (--no-audio, -an)}"
echo "load average (1 min) at each render's start, per run: empty ${LOADS[empty]}"
echo "speed per run (FFmpeg / Kinetra, in run order):"
for r in "${RENDERS[@]}"; do
  IFS='|' read -r name scene _ _ _ _ <<<"$r"
  read -ra ks <<<"${K[$scene]}"; read -ra fs <<<"${F[$name]}"
  line="  $name:"
  for i in "${!fs[@]}"; do line+=" $(ratio "${fs[$i]}" "${ks[$i]}")"; done
  echo "$line"
done
echo
echo "| command, 1080p 16-bit 4:4:4, $THREADS threads (ms per frame) | Kinetra | FFmpeg filter | speed vs FFmpeg | Kinetra / memcpy | Kinetra processor | FFmpeg processor | processor ratio |"
echo "|---|---|---|---|---|---|---|---|"
# The median of $1's runs less the median of $2's, divided by $3 (default
# 1), at least 0.01.
minus() {
  awk -v a="$(med "$1")" -v b="$(med "$2")" -v n="${3:-1}" \
    'BEGIN {v = (a - b) / n; printf "%.2f", (v > 0.01 ? v : 0.01)}'
}
for c in "${COMMANDS[@]}"; do
  IFS='|' read -r name _ _ filter times <<<"$c"
  k=$(minus "${KC[$name]}" "${KC[empty]}")
  f=$(minus "${FC[$name]}" "${FC[base_$name]}" "${times:-1}")
  kp=$(minus "${KP[$name]}" "${KP[empty]}")
  fp=$(minus "${FP[$name]}" "${FP[base_$name]}" "${times:-1}")
  m=$(med "${MC[$name]}")
  label="$name vs ${filter%%=*}"
  [ "$name" = defocus ] && label="defocus r=10 vs 21-tap convolution"
  [ "$name" = alpha ] && label="alpha vs blend"
  [ "${times:-1}" -gt 1 ] && label+=" (FFmpeg: $times in a row, per filter)"
  echo "| $label | $k | $f | $(ratio "$f" "$k") | $(ratio "$k" "$m") | $kp | $fp | $(ratio "$fp" "$kp") |"
done
echo
echo "memcpy of one 1080p frame (12.4 MB): $(med "${MC[copy]}") ms; Kinetra's empty-script call: $(med "${KC[empty]}") ms"
echo "FFmpeg: $FFMPEG_FRAMES frames per run; processor ratio = FFmpeg processor time / Kinetra processor time"
