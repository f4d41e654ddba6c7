#!/usr/bin/env bash
# One case of the package test's seal table (tests/package/run.sh) that needs the installed
# session running: started as orvanta-kiosk.service starts it, as its user, with its
# runtime folder, in the sandbox's file system: a /tmp of its own (PrivateTmp=yes) and a
# read-only root but for /run/orvanta and /var/lib/orvanta (ProtectSystem=strict,
# ReadWritePaths=). Only the X server is Xvfb. Called inside a private network namespace.
#
#   seal.sh DISPLAY WORKDIR vnc|squatted
#
#   vnc       orvanta-vnc.service's command line, in a /tmp of its own too, reaches the
#             kiosk's X server through its abstract socket; a viewer without the secret and
#             one with a wrong secret are refused, one with the secret sees the screen
#   squatted  another account (nobody) holds the old guard's abstract name, the display's
#             abstract X socket and its /tmp/.X<n>-lock: the kiosk still starts, on the next
#             display, its guard in /run/orvanta
set -euo pipefail

display=$1
work=$2
case_name=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
unit=/lib/systemd/system/orvanta-kiosk.service
vnc_unit=/lib/systemd/system/orvanta-vnc.service
runtime=/run/orvanta

step_prefix="seal: "
log_glob="$work/seal-*.log"
log_lines=30
# shellcheck source=tests/package/common.sh
source "$root/tests/package/common.sh"
started=()
cleanup() {
    local pid
    for pid in "${started[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT

exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
user=$(sed -n 's/^User=//p' "$unit")
home=$(getent passwd "$user" | cut -d: -f6)
grep -qx "PrivateTmp=yes" "$unit" || fail "the kiosk unit has no PrivateTmp=yes"
grep -qx "ProtectSystem=strict" "$unit" || fail "the kiosk unit has no ProtectSystem=strict"

# Runs a command in the unit's file system view: a fresh /tmp, the root read-only but for
# the runtime and state folders. It takes the caller's place: call it in a subshell.
sandboxed() {
    # shellcheck disable=SC2016 # expanded by the inner shell
    exec unshare -m bash -c '
        set -e
        mount --make-rprivate /
        mount -t tmpfs -o mode=1777 tmpfs /tmp
        for folder in '"$runtime $home"'; do mount --bind "$folder" "$folder"; done
        mount -o remount,bind,ro /
        exec "$@"' sandboxed "$@"
}

start_session() { # log file
    rm -rf "$runtime"
    install -d -m 700 -o "$user" -g "$user" "$runtime"
    (
        cd "$home"
        # shellcheck disable=SC2086 # the unit's command line, split as systemd splits it
        sandboxed runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="$home" \
            USER="$user" RUNTIME_DIRECTORY="$runtime" INVOCATION_ID=0123456789abcdef \
            ORVANTA_DISPLAY="$display" ORVANTA_X_SERVER="Xvfb -screen 0 1280x1024x24" \
            $exec_start
    ) >"$1" 2>&1 &
    session=$!
    started+=("$session")
}
session_display() { sed -n 's/^DISPLAY=//p' "$runtime/display" 2>/dev/null; }
main_window() {
    local shown
    shown=$(session_display)
    [ -n "$shown" ] || return 1
    DISPLAY=$shown XAUTHORITY=$runtime/Xauthority xdotool search --onlyvisible --name '^Orvanta$' \
        2>/dev/null | head -n 1 | grep -q .
}

case "$case_name" in
vnc)
    step "the session in the unit's sandbox"
    start_session "$work/seal-vnc-session.log"
    wait_for 30 main_window || fail "no main screen within 30 s"
    secret=/etc/orvanta/vnc-password
    [ "$(stat -c '%a %U %G' "$secret")" = "640 root $user" ] ||
        fail "$secret is $(stat -c '%a %U %G' "$secret"), not 640 root $user"
    grep -qE '^[A-Za-z0-9]{8}$' "$secret" || fail "$secret holds no 8-character secret"
    vnc_start=$(sed -n 's/^ExecStart=//p' "$vnc_unit")
    grep -qx "EnvironmentFile=$runtime/display" "$vnc_unit" ||
        fail "the VNC unit does not read the session's display"
    # systemd puts the display from the EnvironmentFile in its place.
    # shellcheck disable=SC2016 # the unit's text
    vnc_start=${vnc_start//'${DISPLAY}'/$(session_display)}
    step "x11vnc as the VNC unit runs it, in a /tmp of its own: $vnc_start"
    # shellcheck disable=SC2086 # the unit's command line, split as systemd splits it
    (sandboxed runuser -u "$user" -- $vnc_start) >"$work/seal-vnc.log" 2>&1 &
    started+=($!)
    listening() { ss -ltnH 'sport = :5900' | grep -q .; }
    wait_for 20 listening || fail "x11vnc does not listen on port 5900"
    for how in none wrong "$secret"; do
        status=0
        answer=$(/usr/bin/python3 "$root/tests/package/rfbcheck.py" 5900 "$how") || status=$?
        echo "   viewer with secret \"${how##*/}\": $answer"
        case "$how:$status" in
        none:1 | wrong:1 | "$secret":0) ;;
        *) fail "a viewer with secret \"$how\" was answered \"$answer\" (status $status)" ;;
        esac
    done
    grep -q "accepted: screen 1280x1024" <<<"$answer" || fail "the viewer did not see the screen"
    ;;
squatted)
    number=${display#:}
    step "nobody holds @Orvanta_IsRunning, @/tmp/.X11-unix/X$number and /tmp/.X$number-lock"
    rm -f "/tmp/.X$number-lock"
    setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c '
import socket, sys, time
held = []
for name in ("\0Orvanta_IsRunning", "\0/tmp/.X11-unix/X" + sys.argv[1]):
    s = socket.socket(socket.AF_UNIX)
    s.bind(name)
    s.listen(1)
    held.append(s)
open("/tmp/.X%s-lock" % sys.argv[1], "w").write("%10d\n" % 1)
print("squatted", flush=True)
time.sleep(600)
' "$number" >"$work/seal-squatter.log" 2>&1 &
    squatter=$!
    started+=("$squatter")
    wait_for 10 grep -q squatted "$work/seal-squatter.log" || fail "the squatter did not start"
    start_session "$work/seal-squatted-session.log"
    wait_for 30 main_window || fail "no main screen with the names squatted"
    [ "$(session_display)" != "$display" ] || fail "the session took the squatted display"
    grep -q "display $display is taken by another process" "$work/seal-squatted-session.log" ||
        fail "the session did not say why it took another display"
    lock=$(find "$runtime" -maxdepth 1 -name 'Orvanta_IsRunning*.lock')
    [ -n "$lock" ] || fail "no guard in $runtime"
    [ "$(stat -c '%a %U' "$lock")" = "600 $user" ] || fail "the guard is $(stat -c '%a %U' "$lock")"
    echo "   the kiosk runs on $(session_display), its guard $lock"
    rm -f "/tmp/.X$number-lock"
    ;;
*)
    fail "no seal case \"$case_name\""
    ;;
esac
step "$case_name passed"
