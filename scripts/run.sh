#!/usr/bin/env bash
# Runs the service in the foreground against two simulated controllers.
# Everything lives under BUILD/run (or $KVO_RUN_DIR): the simulator's driver directory, the
# KVOOMX_HOME (settings and web root, filled from share/) and the working
# directory (error pages in HTML/). Ctrl-C stops the service, then the simulator.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
[[ "$BUILD" = /* ]] || BUILD="$ROOT/$BUILD"
BIN="$BUILD/bin"
RUN=${KVO_RUN_DIR:-"$BUILD/run"}
DRIVER_DIR="$RUN/driver"
export KVOOMX_HOME="$RUN/home"
WORK_DIR="$RUN/work"
CONTROLLERS=${KVO_RUN_CONTROLLERS:-2}

for exe in kvoomxsvr kvoctlsim; do
  [ -x "$BIN/$exe" ] || { echo "run: $BIN/$exe is missing; build first (make build)" >&2; exit 1; }
done

# Shipped files are refreshed on every run; the user's settings files are kept.
populate_home() {
  mkdir -p "$KVOOMX_HOME" "$WORK_DIR"
  if [ -d "$ROOT/share/webguiroot" ]; then
    mkdir -p "$KVOOMX_HOME/webguiroot"
    cp -R "$ROOT/share/webguiroot/." "$KVOOMX_HOME/webguiroot/"
  fi
  for conf in kvoomxsvr.conf kvoomxemail.conf; do
    if [ -f "$ROOT/share/$conf" ] && [ ! -e "$KVOOMX_HOME/$conf" ]; then
      cp "$ROOT/share/$conf" "$KVOOMX_HOME/$conf"
    fi
  done
  if [ -d "$ROOT/share/HTML" ]; then
    mkdir -p "$WORK_DIR/HTML"
    cp -R "$ROOT/share/HTML/." "$WORK_DIR/HTML/"
  fi
}

SIM_PID=""
stop_simulator() {
  if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
    kill -TERM "$SIM_PID" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$SIM_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$SIM_PID" 2>/dev/null || true
  fi
  SIM_PID=""
}
trap stop_simulator EXIT
trap 'stop_simulator; exit 143' TERM HUP

# The simulator gets its own session, so Ctrl-C reaches only the service, which
# still talks to the controllers while it shuts down; it is stopped afterwards.
start_simulator() {
  rm -rf "$DRIVER_DIR"
  # Unix socket paths are short: a deep build tree gets its driver dir in /tmp.
  if [ ${#DRIVER_DIR} -gt 80 ]; then
    DRIVER_DIR=$(mktemp -d /tmp/kvoomx-driver-XXXXXX)
  fi
  mkdir -p "$DRIVER_DIR"
  setsid "$BIN/kvoctlsim" --dir "$DRIVER_DIR" --controllers "$CONTROLLERS" \
    --transcript "$RUN/transcript.jsonl" </dev/null &
  SIM_PID=$!
  echo "$SIM_PID" > "$RUN/kvoctlsim.pid"
  for _ in $(seq 100); do
    [ -S "$DRIVER_DIR/control" ] && return 0
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "run: the simulator did not start" >&2
  exit 1
}

# Passes the service's console through and adds the address to open after each
# port line. Ignores Ctrl-C so the service's shutdown lines still get through.
announce_urls() {
  trap '' INT
  local host line port
  host=$(hostname 2>/dev/null || echo localhost)
  while IFS= read -r line; do
    printf '%s\n' "$line"
    case "$line" in
      "Configuration server runs on port "*)
        port=${line##* }
        printf '  -> configuration pages: http://127.0.0.1:%s/  (or http://%s:%s/)\n' "$port" "$host" "$port" ;;
      Controller*" WEB GUI runs on port "*)
        port=${line##* }
        if [ "$port" -ge 1 ] && [ "$port" -le 65534 ]; then
          printf '  -> %s web UI: http://127.0.0.1:%s/\n' "${line%% *}" "$port"
        fi ;;
    esac
  done
}

populate_home
start_simulator
echo "Simulator: $CONTROLLERS controllers in $DRIVER_DIR (transcript $RUN/transcript.jsonl)"
echo "KVOOMX_HOME=$KVOOMX_HOME, working directory $WORK_DIR"
echo "Starting kvoomxsvr in the foreground (first lines after 2 s); Ctrl-C stops it."

# Ctrl-C belongs to the service: this shell waits for it to finish its shutdown.
trap ':' INT
status=0
(
  cd "$WORK_DIR"
  export KVOOMX_DRIVER_DIR="$DRIVER_DIR"
  trap - INT
  exec stdbuf -oL -eL "$BIN/kvoomxsvr" -NODAEMON
) | announce_urls || status=$?
stop_simulator
echo "Service and simulator stopped."
exit "$status"
