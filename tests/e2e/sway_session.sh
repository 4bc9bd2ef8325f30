#!/bin/bash
# Runs inside the qemu guest, chrooted into the host's root (its own
# copy in /run, since the guest's /tmp is empty): seatd, then
# sway on the DRM backend (virtio-gpu) as an unprivileged user, then the
# program between two listings of the compositor's outputs by wlr-randr.
# Each result goes to the console as a base64 section.
#   sway_session.sh USER PROGRAM
user=$1
program=$2
runtime=/tmp/runtime

section() {
  local name=$1
  shift
  echo "@@begin $name"
  "$@" | base64
  echo "@@end $name"
}

as_user() {
  setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups \
    env -i PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$runtime" "$@"
}

wait_for() {
  local i
  for ((i = 0; i < 600; i++)); do
    compgen -G "$1" >/dev/null && return 0
    sleep 0.1
  done
  return 1
}

seatd -g "$user" >/tmp/seatd.log 2>&1 &
wait_for /run/seatd.sock
mkdir -m 700 "$runtime"
chown "$user" "$runtime"
echo "xwayland disable" >/tmp/sway.conf
as_user LIBSEAT_BACKEND=seatd WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
  sway -c /tmp/sway.conf >/tmp/sway.log 2>&1 &
wait_for "$runtime/wayland-[0-9]"
socket=$(basename "$(compgen -G "$runtime/wayland-[0-9]" | head -n 1)")
sleep 1

in_session() { as_user WAYLAND_DISPLAY="$socket" "$@"; }
report() { in_session "$program" </dev/null 2>/tmp/stderr; echo "status=$?" >>/tmp/status; }
protocol() { in_session WAYLAND_DEBUG=client "$program" </dev/null 2>&1 >/dev/null; }

section listing in_session wlr-randr
section report report
section stderr cat /tmp/stderr
section protocol protocol
section listing in_session wlr-randr
section status cat /tmp/status
section sway_log cat /tmp/sway.log
