#!/bin/sh
# The render farm end to end on a single-node Slurm started here: a short
# clip with a script that carries state (a variable, the random generator, a
# tone's phase), rendered as 4 segments with --lossless and joined, must
# equal one whole render frame by frame and sample by sample; a segment
# killed once is rendered again by its task and the result is still equal;
# a segment that always fails leaves no output. Skipped (77) when not root
# or Slurm is missing.
# Usage: farm_slurm_test.sh KINETRA PLUGIN WORKDIR
set -u
kinetra=$1
export KINETRA_PLUGIN=$2
work=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work/clip"
slurm=$work/slurm
sh "$here/local_slurm.sh" start "$slurm"
started=$?
if [ $started -ne 0 ]; then
    echo "skipped: no local Slurm (needs root and the packages slurm-wlm and munge)"
    exit 77
fi
export SLURM_CONF=$slurm/slurm.conf
finish() {
    status=$?
    scancel --quiet --user="$(id -un)" 2>/dev/null || true
    sh "$here/local_slurm.sh" stop "$slurm"
    [ $status -eq 0 ] && rm -rf "$work"
    exit $status
}
trap finish EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAILED: $*"
    cat "$work"/clip/*.farm/logs/* 2>/dev/null | tail -20
    exit 1
}

cd "$work/clip" || exit 1
ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=30 -f lavfi \
    -i sine=frequency=300:sample_rate=48000 -t 2 -ac 2 -c:v ffv1 -c:a pcm_s16le clip.mkv ||
    fail "ffmpeg could not make the clip"
cat > kinetra.txt <<'SCRIPT'
A=A+1
fill(0, 0, 0, (A*3)%64, 8, (A*50)%4096, 0, 0)
fill(0, rand(50), 20, 4, 4, 4000, 0, 0)
[20-]
a_tone(1, 440, 0, 0.3)
a_blend(1, 0)
SCRIPT

# The same pictures and sound: decoded frames by their hashes, samples whole.
pictures() { ffmpeg -v error -i "$1" -map 0:v -f framemd5 - | grep -v '^#' | awk -F, '{print $NF}'; }
sound() { ffmpeg -v error -i "$1" -map 0:a -f s16le - | md5sum; }
same() {
    [ "$(pictures "$1" | wc -l)" -eq 60 ] || fail "$2: $1 does not hold 60 frames"
    [ "$(pictures "$1")" = "$(pictures whole.mkv)" ] || fail "$2: the pictures differ"
    [ "$(sound "$1")" = "$(sound whole.mkv)" ] || fail "$2: the sound differs"
}

"$kinetra" render clip.mkv -o whole.mkv --lossless -q -y || fail "the whole render failed"

"$kinetra" farm clip.mkv -o joined.mkv --segments 4 --lossless --wait -q -y ||
    fail "the farm failed"
same joined.mkv "4 segments"

# A segment's render killed once: its task renders it again.
cat > killed-once.sh <<WRAP
#!/bin/sh
case "\$*" in *seg-00002*)
    if [ ! -e "$work/clip/killed" ]; then touch "$work/clip/killed"; kill -KILL \$\$; fi ;;
esac
exec "$kinetra" "\$@"
WRAP
chmod +x killed-once.sh
KINETRA=$work/clip/killed-once.sh "$kinetra" farm clip.mkv -o retried.mkv --segments 4 \
    --lossless --wait -q -y || fail "the farm with a killed segment failed"
[ -e killed ] || fail "no segment was killed"
same retried.mkv "a segment killed once"

# A segment that always fails: its task fails, the join is never run.
cat > always-fails.sh <<WRAP
#!/bin/sh
case "\$*" in *seg-00001*) exit 1 ;; esac
exec "$kinetra" "\$@"
WRAP
chmod +x always-fails.sh
if KINETRA=$work/clip/always-fails.sh "$kinetra" farm clip.mkv -o failed.mkv --segments 4 \
    --lossless --wait -q -y 2>/dev/null; then
    fail "the farm with a failing segment succeeded"
fi
[ ! -e failed.mkv ] || fail "a failed farm wrote its output"
[ ! -e failed.mkv.farm/seg-00001.mkv ] || fail "the failing segment was written"
find . -name '.*.part*' | grep -q . && fail "temporary files were left"
echo "farm on Slurm: 3 passed, 0 failed"
