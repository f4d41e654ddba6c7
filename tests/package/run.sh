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
