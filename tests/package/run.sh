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

step "the journal upload through a collector outage (in a private network namespace)"
unshare -n bash "$root/tests/package/journal-upload.sh" "$work" || fail "the journal upload checks failed"

step "an upgrade over a range's config.ini, stdin closed, never stops for a question"
# The previous version: this build's package repacked as an older version whose default
# config.ini differs, and whose kiosk says that version. Then a range's edit, and the new
# package over it, as an unattended upgrade runs: nobody to answer dpkg.
new_version=$(dpkg-deb -f "$kiosk_deb" Version)
# The same digits, one less, at the same places: 1.0.0.0 gives 0.9.9.9.
old_version=$(/usr/bin/python3 -c '
import sys
v = sys.argv[1]
digits = "".join(c for c in v if c.isdigit())
lower = str(int(digits) - 1).zfill(len(digits))
it = iter(lower)
print("".join(next(it) if c.isdigit() else c for c in v))' "$new_version")
dpkg --compare-versions "$old_version" lt "$new_version" || fail "no older version than $new_version"
rm -rf "$work/previous"
dpkg-deb -R "$kiosk_deb" "$work/previous"
sed -i "s/^Version: .*/Version: $old_version/" "$work/previous/DEBIAN/control"
printf '192.168.1.10\n50001\n.\n' >"$work/previous/etc/orvanta/config.ini"
# The kiosk's version text is a UTF-16 literal in the executable.
/usr/bin/python3 -c '
import sys
path, new, old = sys.argv[1:]
data = open(path, "rb").read()
count = data.count(new.encode("utf-16-le"))
open(path, "wb").write(data.replace(new.encode("utf-16-le"), old.encode("utf-16-le")))
sys.exit(0 if count else 1)' "$work/previous/usr/lib/orvanta/orvanta" "$new_version" "$old_version" ||
    fail "no version text in the kiosk to change"
(cd "$work/previous" && cut -d' ' -f3- DEBIAN/md5sums | tr '\n' '\0' | xargs -0 md5sum >DEBIAN/md5sums.new &&
    mv DEBIAN/md5sums.new DEBIAN/md5sums)
previous_deb=$work/orvanta_${old_version}_test.deb
dpkg-deb --root-owner-group -b "$work/previous" "$previous_deb" >"$work/repack.log" 2>&1 ||
    { cat "$work/repack.log" >&2; fail "cannot build the previous version"; }
range_settings=$'10.20.30.40\n50001\n,'
install_previous() {
    DEBIAN_FRONTEND=noninteractive apt-get purge -y orvanta </dev/null >"$work/purge.log" 2>&1 ||
        { tail -n 20 "$work/purge.log" >&2; fail "apt-get purge orvanta failed"; }
    DEBIAN_FRONTEND=noninteractive apt-get install -y "$previous_deb" </dev/null \
        >"$work/install-previous.log" 2>&1 ||
        { tail -n 20 "$work/install-previous.log" >&2; fail "the previous version does not install"; }
    [ "$(/usr/bin/orvanta --version)" = "Orvanta $old_version" ] ||
        fail "the previous kiosk says \"$(/usr/bin/orvanta --version)\""
    printf '%s\n' "$range_settings" >/etc/orvanta/config.ini
}
# Without the options dpkg asks about config.ini, and with stdin closed the upgrade fails:
# the case the documented command is for.
install_previous
if DEBIAN_FRONTEND=noninteractive apt-get install -y "$kiosk_deb" </dev/null >"$work/upgrade-plain.log" 2>&1; then
    fail "a plain upgrade over an edited config.ini went through: the test shows nothing"
fi
grep -q "end of file on stdin at conffile prompt" "$work/upgrade-plain.log" ||
    fail "the plain upgrade failed for another reason than dpkg's question"
# The update command of the installed docs/installing.md, for the package at hand.
update=$(grep -o 'apt-get install -y -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold' \
    /usr/share/doc/orvanta/installing.md | head -n 1)
[ -n "$update" ] || fail "installing.md has no update command that keeps config.ini"
install_previous
# shellcheck disable=SC2086 # the documented command line, split into its words
DEBIAN_FRONTEND=noninteractive $update "$kiosk_deb" </dev/null >"$work/upgrade.log" 2>&1 ||
    { tail -n 20 "$work/upgrade.log" >&2; fail "the documented upgrade stopped"; }
[ "$(cat /etc/orvanta/config.ini)" = "$range_settings" ] || fail "the upgrade lost the range's config.ini"
cmp -s /etc/orvanta/config.ini.dpkg-dist <(dpkg-deb --fsys-tarfile "$kiosk_deb" | tar -xO ./etc/orvanta/config.ini) ||
    fail "the new default is not beside it as config.ini.dpkg-dist"
[ "$(dpkg-query -W -f='${Version} ${Status}' orvanta)" = "$new_version install ok installed" ] ||
    fail "orvanta is $(dpkg-query -W -f='${Version} ${Status}' orvanta) after the upgrade"
[ "$(/usr/bin/orvanta --version)" = "Orvanta $new_version" ] ||
    fail "after the upgrade the kiosk says \"$(/usr/bin/orvanta --version)\""
echo "   $old_version -> $new_version: config.ini kept, the new default in config.ini.dpkg-dist"

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
