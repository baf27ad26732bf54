#!/usr/bin/env bash
# Kinetra against the ffmpeg command line on the same work, in one run.
#
#   bash bench/compare.sh [BUILD_DIR] [RUNS]
#
# Makes a 1080p30 clip, then times, RUNS times each (default 3) and
# interleaved (Kinetra, FFmpeg, Kinetra, ...), so that a busy machine slows
# both alike:
#   - `kinetra render` with an empty script against ffmpeg decoding and
#     encoding with the same encoder settings (libx264 veryfast crf 23, AAC);
#   - the chain (the previous frame blurred with defocus r=10, blended 50% with
#     alpha, a 72 px caption with a 4 px outline) against tpad, gblur, blend and
#     drawtext with a border;
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
FRAMES=${KINETRA_BENCH_FRAMES:-150}
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
FONT=$(fc-match -f '%{file}' IPAGothic 2>/dev/null || true)
[ -f "$FONT" ] || FONT=$(find /usr/share/fonts -iname 'ipag*.tt?' | head -1)

WORK=$(mktemp -d /tmp/kinetra-compare-XXXXXX)
trap 'rm -rf "$WORK"' EXIT

now() { date +%s.%N; }
# Median of the numbers on standard input.
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }

echo "== machine"
echo "cpu: $(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -1), $(nproc) cores visible"
echo "memory: $(free -g | awk '/^Mem:/ {print $2}') GiB; load now: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "ffmpeg: $(ffmpeg -version | head -1 | cut -d' ' -f1-3)"
echo "runs: $RUNS each, interleaved; clip: 1920x1080, 30 fps, $FRAMES frames"
echo

echo "== making the clip"
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=1920x1080:rate=30" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000" -frames:v "$FRAMES" -shortest \
  -c:v libx264 -preset "$PRESET" -crf "$CRF" -pix_fmt yuv420p -c:a aac -b:a 192k \
  "$WORK/clip.mp4"
ffmpeg -nostdin -v error -i "$WORK/clip.mp4" -frames:v 1 -pix_fmt yuv444p16le -f rawvideo \
  "$WORK/frame.raw"

# A directory with the clip and a script ('@' separates the script's lines).
scene() {  # name script
  mkdir -p "$WORK/$1"
  ln "$WORK/clip.mp4" "$WORK/$1/source.mp4"
  printf '%s\n' "$2" | tr '@' '\n' > "$WORK/$1/kinetra.txt"
}

render_kinetra() {  # scene -> seconds
  rm -f "$WORK/out.mp4"
  local t0; t0=$(now)
  "$KINETRA" render "$WORK/$1/source.mp4" -o "$WORK/out.mp4" --quiet --threads "$THREADS" \
    --preset "$PRESET" --crf "$CRF" --plugin "$PLUGIN" >/dev/null
  awk -v a="$t0" -v b="$(now)" 'BEGIN {print b - a}'
}

render_ffmpeg() {  # filter graph ('' for none) -> seconds
  local graph=()
  [ -n "$1" ] && graph=(-filter_complex "$1" -map "[v]" -map 0:a)
  local t0; t0=$(now)
  ffmpeg -nostdin -v error -y -threads "$THREADS" -filter_threads "$THREADS" \
    -i "$WORK/clip.mp4" "${graph[@]}" -c:v libx264 -preset "$PRESET" -crf "$CRF" \
    -threads "$THREADS" -pix_fmt yuv420p -c:a aac -b:a 192k "$WORK/ffmpeg.mp4"
  awk -v a="$t0" -v b="$(now)" 'BEGIN {print b - a}'
}

CAPTION="Kinetra benchmark"
scene empty ""
scene chain "copyframe(2, f-1, 0, 0, w, h, 0, 0)
defocus(2, 3, 0, 0, w, h, 0, 0, 10)
alpha(3, 0, 0, 0, w, h, 0, 0, 0.5)
font2(IPAGothic, 72, 0, 0, 0, 4, 4096, 0, 0, 0, 0, 0)
text(0, w/2, h-120, 1, \"$CAPTION\")"
CHAIN_GRAPH="[0:v]split[a][b];[b]tpad=start=1:start_mode=clone,gblur=sigma=5[p];\
[a][p]blend=all_mode=normal:all_opacity=0.5,\
drawtext=fontfile=$FONT:text='$CAPTION':fontsize=72:fontcolor=white:borderw=4:\
bordercolor=black:x=(w-tw)/2:y=h-120[v]"

declare -A K F
for name in empty chain; do K[$name]=""; F[$name]=""; done
for run in $(seq "$RUNS"); do
  echo "== render run $run of $RUNS"
  K[empty]+="$(render_kinetra empty) "
  F[empty]+="$(render_ffmpeg "") "
  K[chain]+="$(render_kinetra chain) "
  F[chain]+="$(render_ffmpeg "$CHAIN_GRAPH") "
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
echo "| work | Kinetra | FFmpeg | speed vs FFmpeg | target |"
echo "|---|---|---|---|---|"
ke=$(med "${K[empty]}"); fe=$(med "${F[empty]}")
echo "| empty script vs decode + encode (s) | $ke | $fe | $(ratio "$fe" "$ke") | 0.9 |"
kc=$(med "${K[chain]}"); fc=$(med "${F[chain]}")
echo "| chain vs tpad+gblur+blend+drawtext (s) | $kc | $fc | $(ratio "$fc" "$kc") | 1.0 |"
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
