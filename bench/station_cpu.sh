#!/usr/bin/env bash
# The station's processor time against a bare pipeline that only reads and
# paces the same file: vlx2d live-paced (file input in real time, detection
# on) on a 1920x1080 YUY2 simulated sky, versus
# filesrc ! avidemux ! fakesink sync=true on that file.
#
#   bench/station_cpu.sh [BUILD_DIR [PRESET [LONG_SECONDS]]]
#                         (defaults: build, demo, no long sky)
#
# Prints both CPU times (user + system, median of RUNS runs, default 3) on a
# 10 s sky and their ratio. With LONG_SECONDS it also runs a sky of that
# length and prints the steady per-frame ratio: the difference of the two
# lengths, which cancels what a run pays once (start-up, populating the
# time-shift buffer, tear-down). Sky files are made once per preset and
# length under BUILD_DIR/bench-data. "demo" records one clip (the writer's
# share included); "twinkle" records none (the pure per-frame cost).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
PRESET=${2:-demo}
LONG=${3:-}
BIN=$(realpath -m "$BUILD/bin")
DATA=$(realpath -m "$BUILD/bench-data")
mkdir -p "$DATA"
export GST_PLUGIN_PATH=$(realpath -m "$BUILD/plugins")${GST_PLUGIN_PATH:+:$GST_PLUGIN_PATH}
RUNS=${RUNS:-3}

sky() {  # prints the path of the sky of $1 seconds, making it when missing
  local f=$DATA/$PRESET-1080-yuy2-${1}s.avi
  [ -s "$f" ] || "$BIN/vlx-skysim" --preset "$PRESET" --width 1920 --height 1080 --format YUY2 \
    --seconds "$1" --out "$f" >/dev/null
  echo "$f"
}

cpu() {  # prints "user+sys" seconds of the command
  /usr/bin/time -f '%U %S' -o "$DATA/time.txt" "$@" >/dev/null 2>&1 || true
  awk '{ printf "%.2f", $1 + $2 }' "$DATA/time.txt"
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# measure FILE: sets BARE and STATION to the medians of RUNS alternating runs
# (a shared machine's noise is larger than the difference measured).
measure() {
  local bares=() stations=() work
  cat "$1" >/dev/null  # warm what the page cache keeps
  for _ in $(seq "$RUNS"); do
    bares+=("$(cpu gst-launch-1.0 -q filesrc location="$1" ! avidemux ! fakesink sync=true)")
    work=$(mktemp -d)
    stations+=("$(cd "$work" && cpu "$BIN/vlx2d" --input "$1" --out "$work/clips" --detect \
      --set IF.cxin=1920 --set IF.cyin=1080 --set IF.cx=1920 --set IF.cy=1080)")
    rm -rf "$work"
  done
  echo "$(basename "$1"): station runs ${stations[*]}; bare runs ${bares[*]}"
  BARE=$(median "${bares[@]}")
  STATION=$(median "${stations[@]}")
}

measure "$(sky 10)"
awk -v s="$STATION" -v b="$BARE" 'BEGIN { printf "10 s sky: station %.2f s CPU, bare pipeline %.2f s CPU, ratio %.2f (medians)\n", s, b, s / b }'
if [ -n "$LONG" ]; then
  S10=$STATION B10=$BARE
  measure "$(sky "$LONG")"
  frames() { sed -n 's/^  "frames": \([0-9]*\).*/\1/p' "${1%.avi}.json"; }
  awk -v s="$STATION" -v b="$BARE" -v s0="$S10" -v b0="$B10" -v n="$LONG" \
      -v frames=$(( $(frames "$(sky "$LONG")") - $(frames "$(sky 10)") )) 'BEGIN {
    printf "%d s sky: station %.2f s CPU, bare pipeline %.2f s CPU\n", n, s, b
    printf "steady per frame: station %.2f ms, bare pipeline %.2f ms, ratio %.2f\n",
           1000 * (s - s0) / frames, 1000 * (b - b0) / frames, (s - s0) / (b - b0) }'
fi
