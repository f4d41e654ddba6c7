#!/bin/sh
# Runs a command on a virtual X display of its own, the way the kiosk runs on a range's
# machine: Xvfb at the given size and, when asked, the openbox window manager with the top
# 40 pixels of the screen kept free as a panel would keep them. Stops both afterwards and
# ends with the command's status.
#
#   onxserver.sh WIDTHxHEIGHT bare|openbox COMMAND [ARGUMENTS...]
#
# The display is the first free one; ORVANTA_TEST_DISPLAYS ("130 131 ...") limits the
# choice on a machine where displays are shared out.
set -u

size=$1
wm=$2
shift 2

for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "onxserver.sh: $tool is missing (tools/prepare.sh installs it)" >&2; exit 1; }
done
if [ "$wm" = openbox ] && ! command -v openbox >/dev/null; then
    echo "onxserver.sh: openbox is missing (tools/prepare.sh installs it)" >&2
    exit 1
fi

work=$(mktemp -d)
xpid=
wmpid=
cleanup() {
    [ -n "$wmpid" ] && kill "$wmpid" 2>/dev/null && wait "$wmpid" 2>/dev/null
    [ -n "$xpid" ] && kill "$xpid" 2>/dev/null && wait "$xpid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Xvfb writes its display number to fd 3 once it takes connections.
start_x() { # [display number]
    : >"$work/display"
    Xvfb ${1:+":$1"} -displayfd 3 -screen 0 "${size}x24" -nolisten tcp \
        3>"$work/display" >"$work/xvfb.log" 2>&1 &
    xpid=$!
    i=0
    while [ $i -lt 200 ]; do
        [ -s "$work/display" ] && return 0
        kill -0 "$xpid" 2>/dev/null || break
        sleep 0.05
        i=$((i + 1))
    done
    kill "$xpid" 2>/dev/null
    wait "$xpid" 2>/dev/null
    xpid=
    return 1
}

started=false
if [ -n "${ORVANTA_TEST_DISPLAYS:-}" ]; then
    for number in $ORVANTA_TEST_DISPLAYS; do
        start_x "$number" && { started=true; break; }
    done
else
    start_x && started=true
fi
if ! $started; then
    echo "onxserver.sh: no X server could be started" >&2
    cat "$work/xvfb.log" >&2
    exit 1
fi
DISPLAY=":$(head -n 1 "$work/display")"
export DISPLAY

if [ "$wm" = openbox ]; then
    cat >"$work/rc.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <margins><top>40</top><bottom>0</bottom><left>0</left><right>0</right></margins>
</openbox_config>
EOF
    XDG_CONFIG_HOME="$work" XDG_CACHE_HOME="$work" XDG_DATA_HOME="$work" \
        openbox --sm-disable --config-file "$work/rc.xml" --startup "touch $work/wm-ready" \
        >"$work/wm.log" 2>&1 &
    wmpid=$!
    i=0
    while [ ! -e "$work/wm-ready" ] && [ $i -lt 200 ]; do
        sleep 0.05
        i=$((i + 1))
    done
    if [ ! -e "$work/wm-ready" ]; then
        echo "onxserver.sh: openbox did not start" >&2
        cat "$work/wm.log" >&2
        exit 1
    fi
fi

# Under AddressSanitizer: libxkbcommon-x11, which Qt's X platform loads the keyboard map
# with, hands strndup() names that are not terminated within their length; the
# sanitizer's strndup wrapper reads past them and stops the program before any of ours runs.
if [ -n "${ASAN_OPTIONS:-}" ]; then
    ASAN_OPTIONS="$ASAN_OPTIONS:intercept_strndup=0"
    export ASAN_OPTIONS
fi

# No session bus: the test stays clear of a desktop session's, and Qt's D-Bus thread, which
# the X platform starts for one, keeps a read buffer to the end that leak checks report.
DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus" QT_QPA_PLATFORM=xcb \
    ORVANTA_TEST_WM="$wm" "$@"
status=$?
exit $status
