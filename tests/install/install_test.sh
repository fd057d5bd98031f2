#!/bin/sh
# install_test.sh BUILD_DIR PLUGIN_DIR_RELATIVE_TO_PREFIX
set -eu
build=$1
plugindir=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# A package build: DESTDIR staging under a prefix that does not exist here.
DESTDIR="$tmp/stage" cmake --install "$build" --prefix /opt/vigilux >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "cmake --install with DESTDIR"; }
stage="$tmp/stage/opt/vigilux"
for f in bin/vlx2d bin/vlx-skysim "$plugindir/libgstvlx2f.so" share/doc/vigilux/README.md \
         lib/systemd/user/vlx2d.service; do
  [ -f "$stage/$f" ] || fail "$f not installed"
done
if [ -x "$build/bin/vlx2" ]; then
  for f in bin/vlx2 "$plugindir/libgstvlx2rf.so" share/applications/vigilux.desktop \
           share/icons/hicolor/64x64/apps/vigilux.png; do
    [ -f "$stage/$f" ] || fail "$f not installed"
  done
fi
unit="$stage/lib/systemd/user/vlx2d.service"
grep -q '^ExecStart=/opt/vigilux/bin/vlx2d ' "$unit" || fail "the unit does not start /opt/vigilux/bin/vlx2d"
grep -q '^Restart=on-failure$' "$unit" || fail "the unit does not restart on failure"
grep -q '^WorkingDirectory=%E/vigilux$' "$unit" || fail "the unit's working directory"

# Another prefix, run as installed: no GST_PLUGIN_PATH, no LD_LIBRARY_PATH,
# nothing of the build tree in the environment.
prefix="$tmp/prefix"
cmake --install "$build" --prefix "$prefix" >"$tmp/install2.log" 2>&1 || { cat "$tmp/install2.log"; fail "cmake --install"; }
ldd "$prefix/bin/vlx2d" | grep libvlxmsg | grep -q "$prefix/" || fail "vlx2d does not take its library from the prefix"
if [ -x "$prefix/bin/vlx2" ]; then
  ldd "$prefix/bin/vlx2" | grep libvlxmsg | grep -q "$prefix/" || fail "vlx2 does not take its library from the prefix"
fi
mkdir -p "$tmp/home" "$tmp/run"
# Only what a sanitized build needs passes (its sanitizer options, the
# in-process plugin scan); nothing of the build tree does.
clean_env() {
  env -i PATH=/usr/bin:/bin HOME="$tmp/home" XDG_DOCUMENTS_DIR="$tmp/home/Documents" \
    GST_REGISTRY="$tmp/registry.bin" ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"} \
    ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
    ${GST_REGISTRY_FORK:+GST_REGISTRY_FORK="$GST_REGISTRY_FORK"} "$@"
}
clean_env "$prefix/bin/vlx-skysim" --preset single-meteor --seconds 7 --width 320 --height 240 \
  --out "$tmp/run/sky.avi" >"$tmp/sky.log" 2>&1 || { cat "$tmp/sky.log"; fail "installed vlx-skysim"; }
( cd "$tmp/run" && clean_env timeout 120 "$prefix/bin/vlx2d" --input "$tmp/run/sky.avi" --out "$tmp/run/clips" \
    --detect --fast --set IF.cxin=320 --set IF.cyin=240 --set IF.cx=320 --set IF.cy=240 ) >"$tmp/run.log" 2>&1 ||
  { cat "$tmp/run.log"; fail "installed vlx2d"; }
n=$(find "$tmp/run/clips" -name 'M*.avi' | wc -l)
[ "$n" -eq 1 ] || { cat "$tmp/run.log"; fail "$n clips instead of 1"; }
[ -f "$tmp/run/Settings.vxi" ] || fail "the settings were not saved in the working directory"
if command -v systemd-analyze >/dev/null 2>&1; then
  sed "s|^ExecStart=[^ ]*|ExecStart=$prefix/bin/vlx2d|" "$unit" >"$tmp/vlx2d.service"
  systemd-analyze verify --user "$tmp/vlx2d.service" >"$tmp/verify.log" 2>&1 || true
  ! grep -qi "unknown\|invalid\|failed to parse" "$tmp/verify.log" || { cat "$tmp/verify.log"; fail "systemd-analyze"; }
fi
echo "installed station ran: $n clip"
