#!/usr/bin/env bash
# The three Debian packages as a range gets them: built from build/ (reused), checked with
# lintian, installed with apt, tested against the installed files only (the session under
# Xvfb as the kiosk user, one voucher through the installed simulator, a kill, the staff
# exit gesture, a stop, --check-config, the --log lines; see session.sh; then the seal
# table: the remote view's secret, squatters, orvanta-lockdown, the units' sandbox scores,
# the hardened build), then purged, with a check that nothing is left. Needs root: it
# installs and removes packages, so run it on a machine that may be changed (CI does).
# Fails loudly on the first step that goes wrong.
#
#   tests/package/run.sh [BUILD_DIR]        ORVANTA_TEST_DISPLAY=:N picks the display
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)

step() { echo "== package: $*"; }
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || fail "run.sh installs packages and needs root"

step "build the packages in $build"
rm -f "$build"/orvanta_*.deb "$build"/orvanta-lockdown_*.deb "$build"/quillmark-sim_*.deb
cmake --build "$build" --target package -j"$(nproc)" >"$build/package.log" 2>&1 ||
    { tail -n 40 "$build/package.log" >&2; fail "the package target failed"; }
kiosk_deb=$(ls "$build"/orvanta_*.deb)
sim_deb=$(ls "$build"/quillmark-sim_*.deb)
lockdown_deb=$(ls "$build"/orvanta-lockdown_*.deb)

step "lintian"
# Warnings are shown, errors fail (README lists the warnings that remain and why).
lintian --fail-on error "$kiosk_deb" "$sim_deb" "$lockdown_deb" || fail "lintian found errors"

work=$(mktemp -d /tmp/orvanta-package.XXXXXX)
chmod 755 "$work"
purged=
purge() {
    if [ -z "$purged" ]; then
        # dpkg passes over a package that is not installed, where apt-get would refuse all.
        dpkg --purge orvanta-lockdown orvanta quillmark-sim >"$work/purge.log" 2>&1 || true
    fi
}
trap purge EXIT

step "install with apt"
# A copy left from an earlier run would make apt skip the installation under test.
dpkg --purge orvanta-lockdown orvanta quillmark-sim >"$work/purge.log" 2>&1 || true
DEBIAN_FRONTEND=noninteractive apt-get install -y "$kiosk_deb" "$sim_deb" >"$work/install.log" 2>&1 ||
    { tail -n 40 "$work/install.log" >&2; fail "apt-get install failed"; }
for path in /usr/lib/orvanta/orvanta /usr/lib/orvanta/orvanta-session /usr/bin/quillmark-sim \
    /etc/orvanta/config.ini /usr/share/quillmark-sim/demo-data.json; do
    [ -e "$path" ] || fail "$path is not installed"
done
[ "$(readlink /usr/bin/orvanta)" = "../lib/orvanta/orvanta" ] || fail "/usr/bin/orvanta is no link"
[ "$(readlink /usr/lib/orvanta/config.ini)" = "/etc/orvanta/config.ini" ] ||
    fail "config.ini beside the kiosk does not link to /etc/orvanta"
grep -qx /etc/orvanta/config.ini /var/lib/dpkg/info/orvanta.conffiles || fail "config.ini is no conffile"

step "the remote view's secret: made at installation, kept by an update"
secret=/etc/orvanta/vnc-password
[ -f "$secret" ] || fail "no $secret"
before=$(cat "$secret")
# The same package again runs postinst as an update from the installed version does.
DEBIAN_FRONTEND=noninteractive dpkg -i "$kiosk_deb" >"$work/reinstall.log" 2>&1 ||
    { tail -n 20 "$work/reinstall.log" >&2; fail "installing the package again failed"; }
[ "$(cat "$secret")" = "$before" ] || fail "an update replaced the remote view's secret"

step "the kiosk user has no login shell and no password"
entry=$(getent passwd orvanta) || fail "no user orvanta"
[ "$(cut -d: -f7 <<<"$entry")" = /usr/sbin/nologin ] || fail "orvanta has a login shell: $entry"
[ "$(passwd -S orvanta | cut -d' ' -f2)" = L ] || fail "orvanta has a usable password"
# The home is the state folder, which keeps the record of the bucket being counted out.
[ "$(stat -c '%U:%G %a' /var/lib/orvanta)" = "orvanta:orvanta 750" ] ||
    fail "/var/lib/orvanta is $(stat -c '%U:%G %a' /var/lib/orvanta), not orvanta:orvanta 750"

step "the units ship disabled"
for unit in orvanta-kiosk.service orvanta-vnc.service; do
    state=$(systemctl is-enabled "$unit" 2>/dev/null || true)
    [ "$state" = disabled ] || fail "$unit is $state after installing"
done
if find /etc/systemd/system -name 'orvanta-*' | grep -q .; then
    fail "installing left links to the units in /etc/systemd/system"
fi

step "the session (in a private network namespace)"
display=${ORVANTA_TEST_DISPLAY:-}
if [ -z "$display" ]; then
    number=99
    while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
        number=$((number + 1))
    done
    display=:$number
fi
unshare -n bash "$root/tests/package/session.sh" "$display" "$work" || fail "the session checks failed"

# The appliance's seal, each case from the installed files. The cases that need the session
# run it in the unit's sandbox (seal.sh); the others look at the installed packages.
seal_lockdown() {
    local files=(/usr/share/X11/xorg.conf.d/40-orvanta-lockdown.conf
        /usr/lib/systemd/logind.conf.d/orvanta-lockdown.conf
        /usr/lib/sysctl.d/90-orvanta-lockdown.conf)
    local mask=/etc/systemd/system/ctrl-alt-del.target
    [ -e "$mask" ] && fail "$mask is there before orvanta-lockdown"
    DEBIAN_FRONTEND=noninteractive apt-get install -y "$lockdown_deb" >"$work/lockdown.log" 2>&1 ||
        { tail -n 20 "$work/lockdown.log" >&2; fail "apt-get install orvanta-lockdown failed"; }
    for file in "${files[@]}"; do
        [ -f "$file" ] || fail "$file is not installed"
    done
    grep -q 'Option "DontVTSwitch" "true"' "${files[0]}" || fail "X may switch to a console"
    grep -q 'Option "DontZap" "true"' "${files[0]}" || fail "Ctrl+Alt+Backspace may end X"
    local setting
    for setting in HandlePowerKey=ignore HandleSuspendKey=ignore HandleHibernateKey=ignore \
        HandleRebootKey=ignore NAutoVTs=0 ReserveVT=0; do
        grep -qx "$setting" "${files[1]}" || fail "logind's drop-in lacks $setting"
    done
    grep -qx "kernel.sysrq = 0" "${files[2]}" || fail "SysRq stays on"
    [ "$(readlink "$mask")" = /dev/null ] || fail "ctrl-alt-del.target is not masked"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y orvanta-lockdown >>"$work/lockdown.log" 2>&1 ||
        { tail -n 20 "$work/lockdown.log" >&2; fail "apt-get purge orvanta-lockdown failed"; }
    for file in "${files[@]}" /usr/share/doc/orvanta-lockdown; do
        [ -e "$file" ] && fail "$file is left after the purge"
    done
    if [ -e "$mask" ] || [ -L "$mask" ]; then
        fail "the purge left ctrl-alt-del.target masked"
    fi
    dpkg-query -W orvanta >/dev/null || fail "purging orvanta-lockdown took the kiosk with it"
}
seal_scores() {
    local unit bound score
    for unit in orvanta-kiosk.service:5.0 orvanta-vnc.service:3.0; do
        bound=${unit#*:}
        unit=${unit%%:*}
        score=$(systemd-analyze security --offline=yes "/lib/systemd/system/$unit" 2>&1 |
            sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
        echo "   $unit: exposure $score (at most $bound)"
        awk -v s="$score" -v b="$bound" 'BEGIN { exit !(s != "" && s <= b) }' ||
            fail "$unit's exposure is ${score:-unknown}, above $bound"
    done
}
seal_hardening() {
    local program tags header
    # Whole outputs first: grep -q would leave readelf writing to a closed pipe (pipefail).
    for program in /usr/lib/orvanta/orvanta /usr/bin/quillmark-sim; do
        header=$(readelf -hldW "$program")
        grep -q "Type: *DYN" <<<"$header" || fail "$program is not position independent"
        grep -q GNU_RELRO <<<"$header" || fail "$program has no RELRO"
        grep -qE "BIND_NOW|FLAGS_1.*NOW" <<<"$header" || fail "$program has no BIND_NOW"
        readelf -W --dyn-syms "$program" >"$work/symbols"
        grep -q __stack_chk_fail "$work/symbols" || fail "$program has no stack protector"
    done
    # The simulator has calls the compiler could not prove safe: they are the checking
    # variants. The kiosk has none that needed one (its lintian override says so).
    readelf -W --dyn-syms /usr/bin/quillmark-sim >"$work/symbols"
    grep -qE "__[a-z0-9_]+_chk@" "$work/symbols" || fail "quillmark-sim calls no fortified functions"
    tags=$(lintian -I --tags hardening-no-bindnow,hardening-no-fortify-functions,hardening-no-pie,hardening-no-relro \
        "$kiosk_deb" "$sim_deb" 2>&1 | grep -E '^[EWIXP]: ' || true)
    [ -z "$tags" ] || fail "lintian: $tags"
}
seal_cases=(
    "the remote view: a viewer without the secret or with a wrong one refused, with it sees the screen|unshare -n bash $root/tests/package/seal.sh $display $work vnc"
    "guard, X lock and X socket squatted by another account: the kiosk still starts|unshare -n bash $root/tests/package/seal.sh $display $work squatted"
    "orvanta-lockdown: its files and the Ctrl+Alt+Del mask there, purged: all gone, the mask lifted|seal_lockdown"
    "systemd-analyze security: the kiosk unit at most 5.0, the VNC unit at most 3.0|seal_scores"
    "built hardened: PIE, full RELRO with BIND_NOW, stack protector, fortified calls|seal_hardening"
)
for entry in "${seal_cases[@]}"; do
    step "seal: ${entry%%|*}"
    # shellcheck disable=SC2086 # a command and its words
    ${entry#*|} || fail "seal case: ${entry%%|*}"
done

step "purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y orvanta quillmark-sim >"$work/purge.log" 2>&1 ||
    { tail -n 40 "$work/purge.log" >&2; fail "apt-get purge failed"; }
purged=yes
[ -e /etc/orvanta/vnc-password ] && fail "the purge left the remote view's secret"
for path in /usr/lib/orvanta /etc/orvanta /usr/bin/orvanta /usr/bin/quillmark-sim \
    /usr/share/quillmark-sim /lib/systemd/system/orvanta-kiosk.service; do
    if [ -e "$path" ] || [ -L "$path" ]; then
        fail "$path is left after the purge"
    fi
done
if find /etc/systemd/system -name 'orvanta-*' | grep -q .; then
    fail "the purge left links to the units in /etc/systemd/system"
fi
rm -rf "$work"
step "all package checks passed"
