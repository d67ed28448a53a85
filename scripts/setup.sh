#!/usr/bin/env bash
# Installs every Debian package the project needs (Debian 12), non-interactively.
# Safe to run again: apt-get install skips what is already there.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo -E"; fi

PACKAGES=(
  # toolchain
  build-essential cmake git ccache pkg-config ninja-build clang libclang-rt-14-dev
  # test and benchmark frameworks
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # library dependencies
  libopencv-dev libopencv-contrib-dev opencv-doc libjsoncpp-dev libspdlog-dev libfmt-dev
  # footage node
  nlohmann-json3-dev libboost-dev libroscpp-dev libstd-msgs-dev
  python3-gencpp python3-genpy python3-rosmaster python3-rospy python3-rosservice
  python3-rostopic python3-std-msgs python3-rosparam python3-roslaunch python3-rosgraph
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
echo "setup: all packages present"
