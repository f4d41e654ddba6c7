#!/usr/bin/env bash
# The installed kiosk session, as orvanta-kiosk.service runs it, with Xvfb in place of the
# machine's X server; called by tests/package/run.sh inside a private network namespace
# (nothing here is seen from outside, and the ports and the single-instance guard are this
# run's own). Uses the installed files only; the source tree gives the expected picture.
#
#   session.sh DISPLAY WORKDIR
set -euo pipefail

display=$1
work=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
unit=/lib/systemd/system/orvanta-kiosk.service

step_prefix=
log_glob="$work/*.log"
log_lines=40
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

step "--check-config against a closed port"
if /usr/bin/orvanta --check-config >"$work/check-closed.log"; then
    fail "--check-config passed with nothing listening"
fi
grep -q "127.0.0.1 port 50001 refused the connection" "$work/check-closed.log" ||
    fail "--check-config did not say that the port refused"

step "the installed simulator with the installed demo data"
# Without --data it finds its demo data under /usr/share and keeps the state with the user.
mkdir -p "$work/home"
HOME=$work/home timeout 3 /usr/bin/quillmark-sim --port 0 --quiet >/dev/null 2>"$work/sim-default.log" || true
grep -q "data from /usr/share/quillmark-sim/demo-data.json, state kept in $work/home/.local/share/quillmark-sim/demo-state.json" \
    "$work/sim-default.log" || fail "the installed simulator does not find its demo data"
cp /usr/share/quillmark-sim/demo-data.json "$work/demo.json"
chmod 666 "$work/demo.json"
/usr/bin/quillmark-sim --data "$work/demo.json" --port 50001 >"$work/sim.out" 2>"$work/sim.log" &
started+=($!)
wait_for 10 grep -q "listening on 127.0.0.1:50001" "$work/sim.out" || fail "the simulator did not start"

step "--check-config against the listening simulator"
/usr/bin/orvanta --check-config >"$work/check-open.log" || fail "--check-config failed with the server up"
grep -q "Connection: 127.0.0.1 port 50001 accepted a TCP connection" "$work/check-open.log" ||
    fail "--check-config did not report the connection"
grep -q " request " "$work/sim.log" && fail "--check-config sent a request"

# The session as the unit runs it: its user, its folder, its runtime directory and its
# command line; only the X server is Xvfb.
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
user=$(sed -n 's/^User=//p' "$unit")
home=$(getent passwd "$user" | cut -d: -f6)
runtime=/run/orvanta
printf 'LANG=de_DE.UTF-8\nLC_MONETARY="de_DE.UTF-8"\nPATH=/nowhere\n' >"$work/locale"
chmod 644 "$work/locale"

# What systemd adds to the session's environment for one run (the watchdog's step).
session_env=()
start_session() { # log file
    rm -rf "$runtime"
    install -d -m 700 -o "$user" -g "$user" "$runtime"
    (
        cd "$home"
        # shellcheck disable=SC2086 # the unit's command line, split as systemd splits it
        exec runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="$home" USER="$user" \
            "${session_env[@]}" RUNTIME_DIRECTORY="$runtime" ORVANTA_DISPLAY="$display" \
            ORVANTA_X_SERVER="Xvfb -screen 0 1280x1024x24" ORVANTA_LOCALE_FILE="$work/locale" \
            $exec_start
    ) >"$1" 2>&1 &
    session=$!
    started+=("$session")
}
x() { DISPLAY=$display XAUTHORITY=$runtime/Xauthority "$@"; }
kiosk_pid() { pgrep -u "$user" -x orvanta; }
main_window() { x xdotool search --onlyvisible --name '^Orvanta$' 2>/dev/null | head -n 1; }
journal_has() { grep -q -- "$1" "$work/session.log"; }

step "the session as $user: $exec_start"
start_session "$work/session.log"
wait_for 20 main_window >/dev/null || fail "no main screen within 20 s"
window=$(main_window)
journal_has " start version=" || fail "--log wrote no start line"

step "the main screen shows"
geometry=$(x xwininfo -id "$window")
width=$(sed -n 's/^ *Width: //p' <<<"$geometry")
height=$(sed -n 's/^ *Height: //p' <<<"$geometry")
grep -q "Map State: IsViewable" <<<"$geometry" || fail "the main screen is not viewable"
if [ "$width" -lt 1024 ] || [ "$height" -lt 768 ]; then
    fail "the main screen is ${width}x$height"
fi
sleep 1
# The whole screen against the expected picture, compared at a quarter of the size so that
# a font's hinting does not count. ORVANTA_UPDATE_EXPECTED=1 takes this screen as the new
# expected picture (after a change to the main screen).
expected=$root/tests/package/main-screen.png
x import -window root "$work/main.png"
convert "$work/main.png" -resize 25% "$work/main-small.png"
if [ -n "${ORVANTA_UPDATE_EXPECTED:-}" ]; then
    cp "$work/main-small.png" "$expected"
fi
difference=$(compare -metric RMSE "$work/main-small.png" "$expected" null: 2>&1 || true)
difference=$(sed -n 's/.*(\(.*\)).*/\1/p' <<<"$difference")
echo "   screenshot against $expected: RMSE ${difference:-none}"
awk -v d="$difference" 'BEGIN { exit !(d != "" && d < 0.03) }' ||
    fail "the screen does not show the main screen (RMSE ${difference:-none})"

# The main screen hides for good 20 s after the start when nobody chooses; a payment
# choice stops that, so the voucher comes first.
step "one voucher through the installed simulator"
x xdotool mousemove 470 313 click 1
sleep 1
x xdotool type --delay 60 900020
x xdotool key Return
wait_for 15 journal_has "voucher-validation ref=0020 group=- result=1 " ||
    fail "no accepted validation in the journal"
sleep 0.5
x xdotool mousemove 283 260 click 1
wait_for 15 journal_has "voucher-report ref=0020 group=- result=1 " ||
    fail "no confirmed usage report in the journal"
journal_has "UNCONFIRMED" && fail "a bucket is marked unconfirmed"
grep -q "SetRangeUsage&RangeType=P&Reference=900020&" "$work/sim.log" ||
    fail "the simulator's log shows no usage report for 900020"
grep -q "Status=Redeemed" "$work/sim.log" || fail "the simulator did not redeem 900020"

step "the screen never blanks; the range's locale"
x xset q >"$work/xset.log"
grep -q "timeout:  0" "$work/xset.log" || fail "the screen saver is on"
grep -q "prefer blanking:  no" "$work/xset.log" || fail "the screen would blank"
environment=$(tr '\0' '\n' <"/proc/$(kiosk_pid)/environ")
grep -qx "LANG=de_DE.UTF-8" <<<"$environment" || fail "the kiosk did not get the range's LANG"
grep -qx "LC_MONETARY=de_DE.UTF-8" <<<"$environment" || fail "the kiosk did not get LC_MONETARY"
grep -qx "PATH=/nowhere" <<<"$environment" && fail "the locale file set more than the locale"

step "a second copy is kept out"
runuser -u "$user" -- env DISPLAY="$display" XAUTHORITY="$runtime/Xauthority" /usr/bin/orvanta \
    >"$work/second.log" 2>&1 &
second=$!
started+=("$second")
wait_for 10 x xdotool search --onlyvisible --name '^Information$' >/dev/null ||
    fail "the second copy showed no box"
# No window manager: the box gets the keyboard by the pointer, as a touch would give it.
box=$(x xdotool search --onlyvisible --name '^Information$' | tail -n 1)
x xdotool windowfocus --sync "$box" key Return
wait_for 10 bash -c "! kill -0 $second 2>/dev/null" || fail "the second copy did not end"
kill -0 "$(kiosk_pid)" || fail "the first copy ended"

step "the VNC unit shares the screen on the loopback only"
vnc_unit=/lib/systemd/system/orvanta-vnc.service
vnc_start=$(sed -n 's/^ExecStart=//p' "$vnc_unit")
# Its command line with the session's display, which systemd takes from the session's
# display file; the secret and the sandbox are tried by the seal table (seal.sh).
grep -qx "DISPLAY=$display" "$runtime/display" || fail "the session did not write its display"
# shellcheck disable=SC2016 # the unit's text
vnc_start=${vnc_start//'${DISPLAY}'/$display}
[ "$(sed -n 's/^User=//p' "$vnc_unit")" = "$user" ] || fail "the VNC unit runs as another user"
# shellcheck disable=SC2086 # the unit's command line, split as systemd splits it
runuser -u "$user" -- $vnc_start >"$work/vnc.log" 2>&1 &
vnc=$!
started+=("$vnc")
listening() { ss -ltnH 'sport = :5900' | grep -q .; }
wait_for 15 listening || fail "x11vnc does not listen on port 5900"
while read -r address; do
    case "$address" in
    127.0.0.1:5900 | "[::1]:5900") ;;
    *) fail "x11vnc listens on $address" ;;
    esac
done < <(ss -ltnH 'sport = :5900' | awk '{ print $4 }')
exec 3<>/dev/tcp/127.0.0.1/5900
banner=$(head -c 12 <&3 | tr -d '\n')
exec 3<&-
[[ "$banner" == "RFB 003."* ]] || fail "no VNC greeting on 127.0.0.1:5900 (got \"$banner\")"
kill "$vnc"
wait "$vnc" 2>/dev/null || true

step "a kill: the session ends as a failure, which Restart=on-failure answers"
grep -qx "Restart=on-failure" "$unit" || fail "the unit has no Restart=on-failure"
systemd-analyze verify "$unit" /lib/systemd/system/orvanta-vnc.service ||
    fail "systemd-analyze verify failed"
kill -KILL "$(kiosk_pid)"
status=0
wait "$session" || status=$?
[ "$status" -eq 137 ] || fail "the session ended with $status after SIGKILL, not 137"
[ -e "/tmp/.X11-unix/X${display#:}" ] && fail "the X server outlived the session"

step "the staff exit gesture ends the session with 0, which is not restarted"
start_session "$work/session-2.log"
wait_for 20 main_window >/dev/null || fail "no main screen after the restart"
sleep 1
# Four double clicks on the exit area below the design area; the last one ends the kiosk
# and its X server, so xdotool may find the display gone.
for _ in 1 2 3 4; do
    x xdotool mousemove 83 957 click --repeat 2 --delay 80 1 2>/dev/null || true
    sleep 0.4
done
status=0
wait_for 15 bash -c "! kill -0 $session 2>/dev/null" || fail "the staff exit gesture did not end the kiosk"
wait "$session" || status=$?
[ "$status" -eq 0 ] || fail "the session ended with $status after the staff exit gesture"
grep -q " end exit=0" "$work/session-2.log" || fail "--log wrote no end line"

step "a stop during a count (SIGTERM to the session script, as KillMode=mixed sends it) waits for the usage report, then ends kiosk and server"
start_session "$work/session-3.log"
wait_for 20 main_window >/dev/null || fail "no main screen for the stop"
sleep 1
x xdotool mousemove 470 313 click 1
sleep 1
x xdotool type --delay 60 900040
x xdotool key Return
grep_3() { grep -q -- "$1" "$work/session-3.log"; }
wait_for 15 grep_3 "voucher-validation ref=0040 group=- result=1 " ||
    fail "no accepted validation of 900040 before the stop"
sleep 0.5
x xdotool mousemove 283 260 click 1
wait_for 10 grep_3 " bucket-start screen=voucher ref=0040 " || fail "the count of 900040 did not start"
sleep 1.5
# The oldest process of that name is the session itself, not its client side in X.
kill -TERM "$(pgrep -o -u "$user" -x orvanta-session)"
status=0
wait "$session" || status=$?
[ "$status" -eq 0 ] || fail "the session ended with $status when stopped"
grep -q " end signal=" "$work/session-3.log" || fail "--log wrote no end line on the stop"
grep_3 "voucher-report ref=0040 group=- result=1 " || fail "the stop lost the usage report of 900040"
grep_3 "UNCONFIRMED" && fail "a bucket is marked unconfirmed after the stop"
grep -q "SetRangeUsage&RangeType=P&Reference=900040&" "$work/sim.log" ||
    fail "the simulator's log shows no usage report for 900040"
[ -e "$home/bucket-under-way" ] && fail "the record of the bucket outlived its report"
# Zombies do not count: reaping them is the init system's part.
# shellcheck disable=SC2009 # pgrep cannot leave zombies out
if ps -u "$user" -o stat= | grep -qv '^Z'; then
    fail "processes of $user outlived the stop"
fi

step "the watchdog: READY=1, WATCHDOG=1 until the kiosk hangs, then a new session"
# systemd is not PID 1 here: notify-socket.py takes its end of the notification socket, and
# this script does what systemd does with the unit's settings (with a watchdog timeout of
# 3 s in place of the unit's, and RestartSec as it is).
grep -qx "Type=notify" "$unit" || fail "the kiosk unit is not Type=notify"
grep -qx "NotifyAccess=all" "$unit" || fail "the kiosk unit takes no READY=1 from the kiosk"
watchdog_sec=$(sed -n 's/^WatchdogSec=//p' "$unit")
restart_sec=$(sed -n 's/^RestartSec=//p' "$unit")
[[ "$watchdog_sec" =~ ^[0-9]+$ ]] && [ "$watchdog_sec" -ge 30 ] ||
    fail "WatchdogSec=$watchdog_sec is below the 30 s the kiosk may block for"
notify_log=$work/notify.log
: >"$notify_log"
/usr/bin/python3 "$root/tests/package/notify-socket.py" "$work/notify.sock" "$notify_log" &
started+=($!)
wait_for 10 test -S "$work/notify.sock" || fail "no notification socket"
watchdog_usec=3000000
# WATCHDOG_PID names the unit's main process, the session script, never the kiosk.
session_env=(NOTIFY_SOCKET="$work/notify.sock" WATCHDOG_USEC=$watchdog_usec WATCHDOG_PID=$$)
states() { grep -c " $1\$" "$notify_log" || true; }
last_ping() { sed -n 's/ WATCHDOG=1$//p' "$notify_log" | tail -n 1; }
start_session "$work/session-4.log"
wait_for 20 main_window >/dev/null || fail "no main screen for the watchdog"
wait_for 10 grep -q " READY=1$" "$notify_log" || fail "no READY=1 after the main screen"
wait_for 10 bash -c "[ \$(grep -c ' WATCHDOG=1\$' '$notify_log') -ge 3 ]" ||
    fail "the kiosk does not keep sending WATCHDOG=1"
[ "$(states READY=1)" -eq 1 ] || fail "READY=1 came $(states READY=1) times"

# Seconds since the epoch with a point, whatever the locale.
now() { local t=$EPOCHREALTIME; echo "${t/,/.}"; }
hung_at=$(now)
kill -STOP "$(kiosk_pid)"
# systemd's watchdog: no WATCHDOG=1 for WATCHDOG_USEC is a hang.
silent() { awk -v now="$(now)" -v last="$(last_ping)" -v limit=$((watchdog_usec / 1000000)) \
    'BEGIN { exit !(now - last > limit) }'; }
wait_for 15 silent || fail "a stopped kiosk kept sending WATCHDOG=1"
kill -ABRT "$(pgrep -o -u "$user" -x orvanta-session)"
status=0
wait_for 15 bash -c "! kill -0 $session 2>/dev/null" || fail "the watchdog's SIGABRT did not end the session"
wait "$session" || status=$?
[ "$status" -ne 0 ] || fail "the session ended with 0 after the watchdog, which is not restarted"
grep -q "the kiosk stopped answering (watchdog)" "$work/session-4.log" ||
    fail "the session did not say why it ended"
kiosk_pid >/dev/null && fail "the stopped kiosk outlived its session"
[ -e "/tmp/.X11-unix/X${display#:}" ] && fail "the X server outlived the session"
# After every end the unit runs orvanta-alert; a third failure in a row is the alert.
alert=$(sed -n 's/^ExecStopPost=//p' "$unit")
[ -x "$alert" ] || fail "the unit's ExecStopPost=$alert is not installed"
for _ in 1 2 3; do
    runuser -u "$user" -- env SERVICE_RESULT=watchdog EXIT_CODE=exited EXIT_STATUS="$status" \
        ORVANTA_ALERT_STATE="$home/kiosk-failures" "$alert" 2>>"$work/alert.log"
done
runuser -u "$user" -- env SERVICE_RESULT=success ORVANTA_ALERT_STATE="$home/kiosk-failures" \
    "$alert" 2>>"$work/alert.log"
rm -f "$home/kiosk-failures"
[ "$(grep -c '^<4>orvanta-kiosk failed (result=watchdog' "$work/alert.log")" -eq 2 ] ||
    fail "orvanta-alert did not note the failures"
[ "$(grep -c '^<2>orvanta-kiosk keeps failing: 3 failures' "$work/alert.log")" -eq 1 ] ||
    fail "orvanta-alert did not alert on the third failure"
[ "$(wc -l <"$work/alert.log")" -eq 3 ] || fail "orvanta-alert spoke on a clean end"

# Restart=on-failure answers the failure after RestartSec.
sleep "$restart_sec"
start_session "$work/session-5.log"
wait_for 20 main_window >/dev/null || fail "no main screen after the watchdog's restart"
wait_for 10 bash -c "[ \$(grep -c ' READY=1\$' '$notify_log') -eq 2 ]" || fail "no READY=1 after the restart"
back=$(awk -v a="$hung_at" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }')
echo "   hung kiosk back on its main screen after ${back} s (watchdog 3 s here, ${watchdog_sec} s in the unit; RestartSec=${restart_sec})"
awk -v back="$back" -v bound=$((watchdog_usec / 1000000 + restart_sec + 20)) \
    'BEGIN { exit !(back <= bound) }' || fail "the restart took ${back} s"
kill -TERM "$(pgrep -o -u "$user" -x orvanta-session)"
wait "$session" || true
session_env=()

step "session checks passed"
