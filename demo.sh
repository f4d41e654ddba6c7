#!/usr/bin/env bash
# Installs what is missing, builds into build/, starts the simulated management server with
# the demo data and runs the kiosk against it. Without a display the kiosk runs on a virtual
# one that a VNC viewer can watch through an SSH tunnel. Extra arguments go to the kiosk
# (for example --link-test).
set -euo pipefail
source "$(dirname "$0")/tools/prepare.sh"

SIM_PORT=50001
PIDS_FILE="$ORVANTA_BUILD/demo.pids"

# Processes left over from a demo that was killed before it could clean up.
stop_leftovers() {
    [ -f "$PIDS_FILE" ] || return 0
    local pid name
    while read -r pid name; do
        if [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ]; then
            kill "$pid" 2>/dev/null || true
        fi
    done <"$PIDS_FILE"
    rm -f "$PIDS_FILE"
    sleep 0.5
}

started=()
remember() { # pid name
    started+=("$1")
    echo "$1 $2" >>"$PIDS_FILE"
}
cleanup() {
    local pid
    for pid in "${started[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    rm -f "$PIDS_FILE"
}

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

orvanta_install_missing
orvanta_build
stop_leftovers
trap cleanup EXIT

# The kiosk reads its link settings beside its executable: address, port, decimal separator.
printf '127.0.0.1\n%s\n.\n' "$SIM_PORT" >"$ORVANTA_BUILD/config.ini"

if [ -x "$ORVANTA_BUILD/quillmark-sim" ]; then
    cp "$ORVANTA_ROOT/tools/quillmark-sim/demo-data.json" "$ORVANTA_BUILD/demo-data.json"
    if port_in_use "$SIM_PORT"; then
        echo "Port $SIM_PORT on 127.0.0.1 is taken by another program; the kiosk will talk to it."
    else
        "$ORVANTA_BUILD/quillmark-sim" --data "$ORVANTA_BUILD/demo-data.json" \
            --port "$SIM_PORT" --bind 127.0.0.1 &
        remember $! quillmark-sim
        echo "Simulated management server on 127.0.0.1:$SIM_PORT with the demo data."
    fi
else
    echo "The simulated management server (build/quillmark-sim) is missing from this build:"
    echo "the kiosk starts, but every validation ends in a link failure."
fi

if [ -z "${DISPLAY:-}" ]; then
    display=99
    while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
        display=$((display + 1))
    done
    # 1280x1024 is tall enough to show the staff exit areas below the 1024x768 design area.
    Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$ORVANTA_BUILD/xvfb.log" 2>&1 &
    remember $! Xvfb
    for _ in $(seq 50); do
        [ -e "/tmp/.X11-unix/X$display" ] && break
        sleep 0.1
    done
    export DISPLAY=":$display"

    vnc_port=5900
    while port_in_use "$vnc_port"; do
        vnc_port=$((vnc_port + 1))
    done
    # -localhost: the viewer comes in through an SSH tunnel, so no password is needed and
    # nothing listens beyond this machine.
    x11vnc -display "$DISPLAY" -localhost -nopw -forever -shared -quiet \
        -rfbport "$vnc_port" >"$ORVANTA_BUILD/x11vnc.log" 2>&1 &
    remember $! x11vnc
    cat <<INFO

No display here, so the kiosk runs on the virtual display $DISPLAY (1280x1024).
To look at it from your own machine:
    ssh -L $vnc_port:localhost:$vnc_port $(id -un)@$(hostname -f 2>/dev/null || hostname)
then point a VNC viewer at localhost:$vnc_port (no password).
Stop the demo with Ctrl+C.

INFO
fi

echo "Starting build/orvanta"
"$ORVANTA_BUILD/orvanta" "$@" &
remember $! orvanta
status=0
wait "$!" || status=$?
exit "$status"
