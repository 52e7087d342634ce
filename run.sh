#!/usr/bin/env bash
# Builds the tool set and runs it on an emulated device: linkhub loads usblink
# over a virtual USB bus on which devsim plays one device, all in a private
# runtime directory with its own registry file. Both are stopped on exit.
# RUN_SH_NO_BUILD=1 skips the install and build steps and runs the programs
# of the build tree RUN_SH_BUILD_DIR (default build/default).
set -euo pipefail
cd "$(dirname "$0")"
if [ "${RUN_SH_NO_BUILD:-0}" != 1 ]; then
  ./scripts/install-deps
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$(nproc)"
  echo "built into build/default"
fi

build=$(cd "${RUN_SH_BUILD_DIR:-build/default}" && pwd)
linkhub=$build/linkhub/linkhub
devsim=$build/devsim/devsim
usblink=$build/usblink/libusblink.so
devshell=$build/devshell/devshell
fwflash=$build/fwflash/fwflash
device_id=devsim1
device_hwid=${DEVSIM_HWID:-0123456789ABCDEF0123456789ABCDEF}

run_dir=$(mktemp -d /tmp/linkhub-run.XXXXXX)
hub_pid=""
sim_pid=""

stop_all() {
  trap - EXIT
  local status=0
  # The device first: it unplugs (its socket file goes), then the server.
  for pid in "$sim_pid" "$hub_pid"; do
    [ -n "$pid" ] || continue
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || status=$?
  done
  if [ "$status" -ne 0 ]; then
    echo "run.sh: a program ended with status $status; its output:" >&2
    tail -n 20 "$run_dir"/*.log >&2 || true
  fi
  rm -rf "$run_dir"
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A runtime dir of our own (mode 0700), the registry file inside it naming
# this build's usblink, and the bus directory the device appears on.
export LINKHUB_RUNTIME_DIR=$run_dir/rt
export LINKHUB_REGISTRY=$LINKHUB_RUNTIME_DIR/registry.reg
export USBLINK_VBUS=$run_dir/vbus
mkdir -m 0700 "$LINKHUB_RUNTIME_DIR"
mkdir -m 0700 "$USBLINK_VBUS"
cat >"$LINKHUB_REGISTRY" <<EOF
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\linkhub]
"Updater"="$fwflash"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\linkhub\\Media]
"usblink"="$usblink"
EOF

"$linkhub" >"$run_dir/linkhub.log" 2>&1 &
hub_pid=$!
"$devsim" --vbus "$USBLINK_VBUS" --id "$device_id" --hwid "$device_hwid" \
  --storage "$run_dir/storage" --fw-upgrade >"$run_dir/devsim.log" 2>&1 &
sim_pid=$!
echo "run.sh: linkhub (pid $hub_pid) and devsim (pid $sim_pid) running in $run_dir"
# With a display linkhub shows its tray icon (or, with no tray, its device list).
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: linkhub's tray icon is up: Devices..., About..., Quit"
fi

# The device has completed its handshake once it has answered the identity
# request; the server lists it from then on.
for _ in $(seq 300); do
  if grep -q "^devsim: $device_id: link up" "$run_dir/devsim.log"; then break; fi
  if ! kill -0 "$hub_pid" 2>/dev/null || ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "run.sh: linkhub or devsim ended early" >&2
    exit 1
  fi
  sleep 0.1
done
if ! grep -q "^devsim: $device_id: link up" "$run_dir/devsim.log"; then
  echo "run.sh: the device did not complete its handshake within 30 s" >&2
  exit 1
fi
echo "run.sh: device $device_id (HWID $device_hwid) is online"

# ---- the interactive part: devshell on the device ---------------------------
if [ -x "$devshell" ]; then
  "$devshell" -D "$device_hwid"
else
  echo "run.sh: press Ctrl-C to stop"
  # Ctrl-C reaches the whole process group: the programs stop on it too.
  interrupted=0
  trap 'interrupted=1' INT TERM
  status=0
  wait -n "$hub_pid" "$sim_pid" || status=$?
  if [ "$interrupted" -eq 0 ] && [ "$status" -ne 0 ]; then
    echo "run.sh: linkhub or devsim ended with status $status" >&2
    exit 1
  fi
  echo "run.sh: stopping"
fi
# -----------------------------------------------------------------------------
