#!/usr/bin/env bash
# Fleet logs with systemd's own tools, from the installed files: the kiosk's journal lines
# go through systemd-journal-upload, set up as the installed drop-in and example say, to a
# systemd-journal-remote collector over TLS on the loopback; then the collector is away while
# the kiosk writes more, comes back, and every line is there once. No systemd as PID 1: the
# kiosk's journal is a journal folder made by systemd-journal-remote from the kiosk's own
# lines (the --log output of session.sh's runs), and the service's restarts are a loop with
# the drop-in's Restart=always. Called by run.sh inside a private network namespace.
#
#   journal-upload.sh WORKDIR       (WORKDIR holds session.sh's session*.log)
set -euo pipefail

work=$1
dir=$work/journal-upload
root=$(cd "$(dirname "$0")/../.." && pwd)
dropin=/lib/systemd/system/systemd-journal-upload.service.d/orvanta.conf
example=/usr/share/doc/orvanta/examples/journal-upload.conf
unit=/lib/systemd/system/systemd-journal-upload.service
upload=/lib/systemd/systemd-journal-upload
remote=/lib/systemd/systemd-journal-remote
port=19532

step_prefix=
log_glob="$dir/*.log"
log_lines=20
# shellcheck source=tests/package/common.sh
source "$root/tests/package/common.sh"
rm -rf "$dir"
mkdir -p "$dir/kiosk" "$dir/office"
collector=
uploader=
cleanup() {
    for pid in $uploader $collector; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT

step "the journal upload ships disabled: a drop-in for systemd-journal-upload and an example"
[ -x "$upload" ] && [ -x "$remote" ] || fail "systemd-journal-remote is not installed"
grep -qx "StartLimitIntervalSec=0" "$dropin" || fail "the drop-in leaves a start limit"
grep -qx "Restart=always" "$dropin" || fail "the drop-in does not restart the upload"
restart_sec=$(sed -n 's/^RestartSec=//p' "$dropin")
[ -n "$restart_sec" ] || fail "the drop-in has no RestartSec="
# The cursor of the last entry the collector took is kept by the service's own --save-state.
grep -q "^ExecStart=.*--save-state" "$unit" || fail "$unit keeps no upload state"
systemd-analyze verify "$unit" >"$dir/verify.log" 2>&1 || fail "systemd-analyze verify $unit failed"
[ -e /etc/systemd/journal-upload.conf.d/orvanta.conf ] && fail "installing configured an upload"
setting() { sed -n "s/^$1=//p" "$example"; }
url=$(setting URL)
key=$(setting ServerKeyFile)
cert=$(setting ServerCertificateFile)
trust=$(setting TrustedCertificateFile)
[[ "$url" == https://* ]] || fail "the example uploads without TLS: $url"
for file in "$key" "$cert" "$trust"; do
    [[ "$file" == /etc/orvanta/* || "$file" == /etc/ssl/* ]] || fail "TLS file $file"
done

step "TLS files where the example puts them (under $dir/root), a collector certificate"
# The example's paths, in a folder of this run's own.
tls() { echo "$dir/root$1"; }
mkdir -p "$(dirname "$(tls "$key")")" "$(dirname "$(tls "$cert")")" "$(dirname "$(tls "$trust")")"
mkdir -p "$dir/ca"
openssl_quiet() { openssl "$@" >>"$dir/openssl.log" 2>&1 || fail "openssl $1 failed"; }
openssl_quiet req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=chain test CA" \
    -keyout "$dir/ca/ca.key" -out "$(tls "$trust")"
make_cert() { # name key cert
    openssl_quiet req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=$1" -keyout "$2" -out "$dir/ca/$1.csr"
    printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth,clientAuth\n' >"$dir/ca/$1.ext"
    openssl_quiet x509 -req -in "$dir/ca/$1.csr" -CA "$(tls "$trust")" -CAkey "$dir/ca/ca.key" \
        -CAcreateserial -days 2 -extfile "$dir/ca/$1.ext" -out "$3"
}
make_cert kiosk "$(tls "$key")" "$(tls "$cert")"
make_cert office "$dir/ca/office.key" "$dir/ca/office.crt"

# The kiosk's own lines from session.sh's runs: the first run's (the voucher's validation
# and report among them) before the outage, the later runs' during it.
lines_of() { sed -n 's/^\(20[0-9-]*T[0-9:.]* .*\)$/\1/p' "$@"; }
lines_of "$work/session.log" >"$dir/before.txt"
lines_of "$work"/session-[0-9]*.log >"$dir/during.txt"
grep -q "voucher-report ref=0020" "$dir/before.txt" || fail "no bucket line in the session's log"
[ -s "$dir/during.txt" ] || fail "no lines from the later sessions"
# Into the kiosk's journal folder, as journald would keep them for the unit.
journal_lines() { # lines-file journal-file
    local line
    while IFS= read -r line; do
        printf '__REALTIME_TIMESTAMP=%s\n_BOOT_ID=5f0d9a3c0f6b4b8e9a1c2d3e4f5a6b7c\n' "$(date +%s%6N)"
        printf '_HOSTNAME=kiosk-test\n_SYSTEMD_UNIT=orvanta-kiosk.service\n'
        printf 'SYSLOG_IDENTIFIER=orvanta\nPRIORITY=6\nMESSAGE=%s\n\n' "$line"
    done <"$1" | "$remote" --output="$2" - >>"$dir/kiosk-journal.log" 2>&1 ||
        fail "cannot write the kiosk's journal"
}
arrived() { journalctl -D "$dir/office" -o cat --no-pager 2>/dev/null; }
have_all() { # lines-file
    [ "$(arrived | grep -cxFf "$1")" -ge "$(wc -l <"$1")" ]
}

start_collector() {
    # Debian's collector checks no client certificates (its --trust is not built in): the
    # kiosk checks the collector's.
    "$remote" --listen-https="127.0.0.1:$port" --key="$dir/ca/office.key" \
        --cert="$dir/ca/office.crt" --output="$dir/office/" \
        >>"$dir/collector.log" 2>&1 &
    collector=$!
    wait_for 10 bash -c "ss -ltnH 'sport = :$port' | grep -q ." || fail "the collector does not listen"
    while read -r address; do
        [ "$address" = "127.0.0.1:$port" ] || fail "the collector listens on $address"
    done < <(ss -ltnH "sport = :$port" | awk '{ print $4 }')
}

step "the upload as the service runs it, restarted like Restart=always"
start_collector
journal_lines "$dir/before.txt" "$dir/kiosk/kiosk-1.journal"
# The service's command line with this run's journal folder, state file, address and TLS
# files; the restart pause is the drop-in's, cut to a second for the test.
(
    while :; do
        "$upload" -D "$dir/kiosk" --save-state="$dir/state" --url="https://127.0.0.1:$port" \
            --key="$(tls "$key")" --cert="$(tls "$cert")" --trust="$(tls "$trust")" \
            >>"$dir/upload.log" 2>&1 || echo "upload ended with $?" >>"$dir/upload.log"
        sleep 1
    done
) &
uploader=$!
wait_for 30 have_all "$dir/before.txt" || fail "the kiosk's lines did not reach the collector"
grep -q "LAST_CURSOR=" "$dir/state" || fail "the upload kept no cursor"
echo "   $(wc -l <"$dir/before.txt") lines arrived, the voucher's bucket among them"

step "the collector goes away, the kiosk writes on, the collector comes back"
kill "$collector"
wait "$collector" 2>/dev/null || true
collector=
journal_lines "$dir/during.txt" "$dir/kiosk/kiosk-2.journal"
sleep 4
arrived | grep -qxFf "$dir/during.txt" && fail "lines arrived while the collector was away"
start_collector
wait_for 60 have_all "$dir/during.txt" || fail "the lines written during the outage did not arrive"
sleep 2
cat "$dir/before.txt" "$dir/during.txt" >"$dir/all.txt"
arrived | grep -xFf "$dir/all.txt" >"$dir/arrived.txt" || true
cmp -s <(sort "$dir/all.txt") <(sort -u "$dir/arrived.txt") || fail "lines are missing at the collector"
# systemd-journal-upload delivers at least once: after an interrupted upload it may send
# again the last entry the collector had taken before. Only such an entry may come twice.
sort "$dir/arrived.txt" | uniq -d >"$dir/twice.txt"
grep -vxFf "$dir/before.txt" "$dir/twice.txt" | grep -q . && fail "lines of the outage arrived twice"
[ "$(wc -l <"$dir/twice.txt")" -le 1 ] || fail "$(wc -l <"$dir/twice.txt") lines arrived twice"
failures=$(grep -c "upload ended with" "$dir/upload.log" || true)
echo "   all $(wc -l <"$dir/all.txt") lines arrived, $(wc -l <"$dir/twice.txt") of them twice;" \
    "$failures failed uploads during the outage"
[ "$failures" -gt 0 ] || fail "the upload never noticed the outage"
step "journal upload checks passed"
