#!/usr/bin/env bash
# The two Debian packages as a range gets them: built from build/ (reused), checked with
# lintian, installed with apt, tested against the installed files only (the session under
# Xvfb as the kiosk user, one voucher through the installed simulator, a kill, the staff
# exit gesture, a stop, --check-config, the --log lines; see session.sh), then purged, with
# a check that nothing is left. Needs root: it installs and removes packages, so run it on a
# machine that may be changed (CI does). Fails loudly on the first step that goes wrong.
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

step "build both packages in $build"
rm -f "$build"/orvanta_*.deb "$build"/quillmark-sim_*.deb
cmake --build "$build" --target package -j"$(nproc)" >"$build/package.log" 2>&1 ||
    { tail -n 40 "$build/package.log" >&2; fail "the package target failed"; }
kiosk_deb=$(ls "$build"/orvanta_*.deb)
sim_deb=$(ls "$build"/quillmark-sim_*.deb)

step "lintian"
# Warnings are shown, errors fail (README lists the warnings that remain and why).
lintian --fail-on error "$kiosk_deb" "$sim_deb" || fail "lintian found errors"

work=$(mktemp -d /tmp/orvanta-package.XXXXXX)
chmod 755 "$work"
purged=
purge() {
    if [ -z "$purged" ]; then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y orvanta quillmark-sim >"$work/purge.log" 2>&1 ||
            true
    fi
}
trap purge EXIT

step "install with apt"
# A copy left from an earlier run would make apt skip the installation under test.
if dpkg-query -W orvanta quillmark-sim >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y orvanta quillmark-sim >"$work/purge.log" 2>&1 ||
        true
fi
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

step "purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y orvanta quillmark-sim >"$work/purge.log" 2>&1 ||
    { tail -n 40 "$work/purge.log" >&2; fail "apt-get purge failed"; }
purged=yes
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
