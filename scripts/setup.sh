#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing JOLTO Host need.
# Idempotent: packages already present are left alone, and apt is only touched when
# something is missing.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang-14 clang libclang-rt-14-dev clang-format
  # core and adapters
  libboost-dev nlohmann-json3-dev libutf8proc-dev libevdev-dev libavahi-client-dev
  libpulse-dev libsystemd-dev libqrencode-dev
  # application
  qt6-base-dev qt6-declarative-dev qt6-declarative-dev-tools qt6-svg-dev libqt6svg6 libgl-dev
  qml6-module-qtqml qml6-module-qtqml-models qml6-module-qtqml-workerscript
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-templates
  qml6-module-qtquick-layouts qml6-module-qtquick-window qml6-module-qtquick-shapes
  qml6-module-qttest fonts-material-design-icons-iconfont
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qemu-system-x86 busybox-static libsdl2-dev joystick
  pulseaudio pulseaudio-utils locales python3-websockets chromium
  avahi-daemon avahi-utils dbus iproute2
  desktop-file-utils appstream udev dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

echo "setup: installing ${#missing[@]} package(s): ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# The daemons are only ever started by the tests, in their own folders and namespaces.
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
