#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Uses sudo only when not root; installs nothing that is already there.
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential cmake ninja-build pkg-config git
  # media
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
  # window layer, and its test under a virtual display with a window manager
  qt6-base-dev fonts-dejavu-core xvfb openbox wmctrl inotify-tools
  # images, network, bus
  libjpeg-dev libjpeg-turbo-progs libcurl4-openssl-dev libglib2.0-dev
  dbus-daemon dbus-bin
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3 python3-pyftpdlib python3-aiosmtpd ffmpeg libxml2-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "setup: installing ${missing[*]}"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
