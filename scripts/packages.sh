# Sourced by the other scripts: installs Debian packages that are missing.
# shellcheck shell=bash

build_packages=(cmake make g++ pkg-config libxcb1-dev libxcb-randr0-dev libdrm-dev
  libxau-dev libxdmcp-dev libbsd-dev libmd-dev libwayland-dev
  librust-wayland-protocols-dev plasma-wayland-protocols libsystemd-dev)
test_packages=(libgtest-dev libgmock-dev libbenchmark-dev python3 tmux dpkg-dev file
  xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils x11-utils xvfb
  g++-mingw-w64-x86-64 wine wine64 qemu-system-x86 busybox-static libdrm-tests
  sway xwayland wlr-randr seatd mutter dbus python3-gi gir1.2-glib-2.0
  kwin-wayland libkf5screen-bin)

need_packages() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed'; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}
