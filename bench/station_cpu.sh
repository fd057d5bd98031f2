#!/usr/bin/env bash
# The station's processor time per second of sky against a bare pipeline that
# only reads and paces the same file: vlx2d live-paced (file input in real
# time, detection on) on a 10 s 1920x1080 YUY2 simulated sky, versus
# filesrc ! avidemux ! fakesink sync=true on that file.
#
#   bench/station_cpu.sh [BUILD_DIR [PRESET]]   (defaults: build, demo)
#
# Prints both CPU times (user + system, median of RUNS runs, default 3) and
# their ratio. The sky file is made
# once per preset under BUILD_DIR/bench-data. "demo" records one clip (the
# writer's share included); "twinkle" records none (the pure per-frame cost).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
PRESET=${2:-demo}
BIN=$(realpath -m "$BUILD/bin")
DATA=$(realpath -m "$BUILD/bench-data")
mkdir -p "$DATA"
SKY=$DATA/$PRESET-1080-yuy2-10s.avi
if [ ! -s "$SKY" ]; then
  "$BIN/vlx-skysim" --preset "$PRESET" --width 1920 --height 1080 --format YUY2 --seconds 10 --out "$SKY" >/dev/null
fi
export GST_PLUGIN_PATH=$(realpath -m "$BUILD/plugins")${GST_PLUGIN_PATH:+:$GST_PLUGIN_PATH}

cpu() {  # prints "user+sys" seconds of the command
  /usr/bin/time -f '%U %S' -o "$DATA/time.txt" "$@" >/dev/null 2>&1 || true
  awk '{ printf "%.2f", $1 + $2 }' "$DATA/time.txt"
}

# Warm the page cache so both runs read from memory. Each side runs RUNS
# times, alternating, and the medians are compared: a shared machine's noise
# is larger than the difference measured.
cat "$SKY" >/dev/null
RUNS=${RUNS:-3}
bares=() stations=()
for _ in $(seq "$RUNS"); do
  bares+=("$(cpu gst-launch-1.0 -q filesrc location="$SKY" ! avidemux ! fakesink sync=true)")
  work=$(mktemp -d)
  stations+=("$(cd "$work" && cpu "$BIN/vlx2d" --input "$SKY" --out "$work/clips" --detect \
    --set IF.cxin=1920 --set IF.cyin=1080 --set IF.cx=1920 --set IF.cy=1080)")
  rm -rf "$work"
done
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
bare=$(median "${bares[@]}")
station=$(median "${stations[@]}")
echo "station runs: ${stations[*]}; bare runs: ${bares[*]}"
awk -v s="$station" -v b="$bare" 'BEGIN { printf "station %.2f s CPU, bare pipeline %.2f s CPU, ratio %.2f (medians)\n", s, b, s / b }'
