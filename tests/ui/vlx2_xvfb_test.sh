#!/usr/bin/env bash
# vlx2 on a virtual X display with a window manager: detection starts at
# activation on a simulated sky file, clips are written, and the window is
# closed through the window manager's close. The settings file must then be
# written exactly once (a new file put in place), and hold the window's stored rectangle.
set -euo pipefail
B=${VLX_BUILD_DIR:?}
for tool in Xvfb openbox wmctrl inotifywait; do
  command -v "$tool" > /dev/null || { echo "missing $tool (scripts/setup.sh installs it)"; exit 1; }
done

dir=$(mktemp -d /tmp/vlx2-xvfb-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2> /dev/null || true; done
  wait 2> /dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
cd "$dir"
mkdir clips Docs

"$B/bin/vlx-skysim" --preset two-apart --seconds 14 --width 320 --height 240 --out sky.avi > /dev/null
"$B/bin/vlx-write-settings" Settings.vxi IF.fileinmode=1 "AP.infname=$dir/sky.avi" "AP.db_dir=$dir/clips" \
  IF.cxin=320 IF.cyin=240 IF.cx=320 IF.cy=240 AP.md_autorun=1 AP.dv_audio=NULL AP.dlgrect.left=40 \
  AP.dlgrect.top=30 AP.dlgrect.right=1030 AP.dlgrect.bottom=700

# A display of our own; Xvfb tells its number once it is ready.
exec 3> display.txt
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp > xvfb.log 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do [ -s display.txt ] && break; sleep 0.1; done
export DISPLAY=":$(tr -d '\n' < display.txt)"
openbox > openbox.log 2>&1 &
pids+=($!)
for _ in $(seq 100); do wmctrl -m > /dev/null 2>&1 && break; sleep 0.1; done

inotifywait -q -m -e close_write -e moved_to --format '%f' . > writes.log 2> /dev/null &
pids+=($!)
sleep 0.5  # inotifywait sets its watch

XDG_DOCUMENTS_DIR="$dir/Docs" QT_QPA_PLATFORM=xcb "$B/bin/vlx2" > vlx2.log 2>&1 &
vlx2=$!
pids+=($vlx2)

for _ in $(seq 300); do wmctrl -l | grep -q Vigilux && break; sleep 0.1; done
wmctrl -l | grep -q Vigilux || { echo "no Vigilux window"; cat vlx2.log; exit 1; }

# Detection runs through the file; wait for both meteors' clips.
clips() { find clips -name 'M*.avi' | wc -l; }
for _ in $(seq 400); do [ "$(clips)" -ge 2 ] && break; sleep 0.1; done
echo "clips while detecting: $(clips)"
[ "$(clips)" -ge 1 ] || { echo "no clip written"; cat vlx2.log; exit 1; }

wmctrl -c Vigilux
status=0
for _ in $(seq 300); do kill -0 "$vlx2" 2> /dev/null || break; sleep 0.1; done
if kill -0 "$vlx2" 2> /dev/null; then echo "vlx2 did not end after the close"; cat vlx2.log; exit 1; fi
wait "$vlx2" || status=$?
[ "$status" -eq 0 ] || { echo "vlx2 exit status $status"; cat vlx2.log; exit 1; }
sleep 0.3

saves=$(grep -cx 'Settings.vxi' writes.log || true)
echo "settings writes: $saves"
[ "$saves" -eq 1 ] || { echo "expected one save of Settings.vxi"; cat writes.log; exit 1; }
# The saved file is a settings file the station reads, with autorun kept.
printed=$(cd "$dir" && XDG_DOCUMENTS_DIR="$dir/Docs" "$B/bin/vlx2d" --print-settings)
grep -qx 'AP.md_autorun=1' <<< "$printed" || { echo "settings not kept"; exit 1; }
grep -qx 'AP.showcmd=1' <<< "$printed" || { echo "show state not stored"; exit 1; }
for f in $(find clips -name 'M*.avi'); do
  ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$f" |
    awk -v f="$f" '$1 < 10 { print f " has only " $1 " frames"; exit 1 }'
done
grep 'clips written' vlx2.log || true
echo "vlx2 under Xvfb: ok"
