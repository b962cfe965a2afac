#!/usr/bin/env bash
# bash check_service.sh PACKAGING WATCHD CTRLSIM MANDIR WORK
# The fleet watcher's service as systemd takes it, from packaging/ and the built program:
# - a copy of the unit whose ExecStart is the built program on the example configuration
#   passes systemd-analyze verify without a word (a directive systemd cannot parse is only a
#   warning there, so any line printed fails), Documentation= finding the built page;
# - its sandbox stays at an exposure of at most 2.0 (systemd-analyze security --offline);
# - the sysusers.d file, given to systemd-sysusers on a root of its own that has Debian's
#   dialout group, makes the system user qelvo, homed in /var/lib/qelvo, in dialout;
# - where systemd runs and this is root, the unit itself runs a site of qelvo-ctrlsim: a copy
#   under a name of its own, a dynamic user in place of qelvo, the program copied out of
#   the build tree (ProtectHome hides /root and /home): a data line is logged, reload keeps
#   the process, stop ends the log with its QUIT block and the unit with success.
# Exit 77 (skipped) only when systemd-analyze is missing.
set -euo pipefail
packaging=$1 watchd=$2 ctrlsim=$3 mandir=$4 work=$5
fail() { echo "FAIL: $*" >&2; exit 1; }

analyze=$(command -v systemd-analyze || true)
if [ -z "$analyze" ]; then
    echo "systemd-analyze is missing (Debian: apt-get install systemd): the unit was not checked"
    exit 77
fi
rm -rf "$work"
mkdir -p "$work/units" "$work/man/man1" "$work/root/etc"
cp "$mandir/qelvo-watchd.1.gz" "$work/man/man1/"

unit="$work/units/qelvo-watchd.service"
sed -e "s|^ExecStart=@QELVO_FULL_BINDIR@/qelvo-watchd @QELVO_FULL_SYSCONFDIR@/qelvo/watchd.ini$|ExecStart=$watchd $packaging/watchd.ini|" \
    "$packaging/systemd/qelvo-watchd.service" >"$unit"
grep -q "^ExecStart=$watchd " "$unit" || fail "the unit's ExecStart is not @QELVO_FULL_BINDIR@/qelvo-watchd @QELVO_FULL_SYSCONFDIR@/qelvo/watchd.ini"
! grep -nE '@[A-Z_]+@' "$unit" || fail "the unit keeps a placeholder"
out=$(MANPATH="$work/man" SYSTEMD_LOG_COLOR=0 "$analyze" verify "$unit" 2>&1) || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify warns:"$'\n'"$out"
echo "systemd-analyze verify: no word"

exposure=$("$analyze" security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level for qelvo-watchd.service: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || fail "systemd-analyze security gave no exposure level"
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || fail "the sandbox's exposure is $exposure, above 2.0"
echo "exposure: $exposure"

printf 'root:x:0:\ndialout:x:20:\n' >"$work/root/etc/group"
printf 'root:x:0:0:root:/root:/bin/bash\n' >"$work/root/etc/passwd"
out=$(systemd-sysusers --root="$work/root" "$packaging/systemd/qelvo.conf" 2>&1) || fail "systemd-sysusers: $out"
user=$(grep '^qelvo:' "$work/root/etc/passwd" || true)
[[ "$user" =~ ^qelvo:x:([0-9]+):([0-9]+):[^:]*:/var/lib/qelvo:(/usr/sbin/nologin|/sbin/nologin)$ ]] \
    || fail "the qelvo user: '$user'"
[ "${BASH_REMATCH[1]}" -lt 1000 ] || fail "qelvo is no system user: uid ${BASH_REMATCH[1]}"
grep -qx "qelvo:x:${BASH_REMATCH[2]}:" "$work/root/etc/group" || fail "no group qelvo of gid ${BASH_REMATCH[2]}"
grep -qx 'dialout:x:20:qelvo' "$work/root/etc/group" || fail "qelvo is not in dialout: $(grep dialout "$work/root/etc/group")"
echo "sysusers: $user, in dialout"

if [ ! -d /run/systemd/system ]; then
    echo "systemd is not running here (PID 1 is $(cat /proc/1/comm 2>/dev/null || echo unknown)): the service was verified, not run"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "not root: the service was verified, not run"
    exit 0
fi

# The service itself, under a name of its own.
name=qelvo-watchd-check-$$
run=/run/$name
cleanup() {
    systemctl stop "$name.service" >/dev/null 2>&1 || true
    rm -f "/run/systemd/system/$name.service"
    systemctl daemon-reload || true
    if [ -n "${sim:-}" ]; then kill "$sim" 2>/dev/null || true; fi
    rm -rf "$run" "/var/lib/$name" "/var/lib/private/$name"
}
trap cleanup EXIT
mkdir -p "$run" "$work/simhome"
cp "$watchd" "$run/qelvo-watchd"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
HOME="$work/simhome" XDG_CONFIG_HOME="$work/simhome" "$ctrlsim" --tcp "$port" --quiet >/dev/null 2>"$work/ctrlsim.log" &
sim=$!
printf '[watch]\nlog_folder=/var/lib/%s/logs\ninterval_ms=200\n[sites]\ns1=tcp://127.0.0.1:%s\n' "$name" "$port" >"$run/watchd.ini"
chmod -R a+rX "$run"
sed -e "s|^ExecStart=.*|ExecStart=$run/qelvo-watchd $run/watchd.ini|" \
    -e 's|^User=qelvo$|DynamicUser=yes|' -e '/^Group=qelvo$/d' \
    -e "s|^StateDirectory=qelvo$|StateDirectory=$name|" -e "s|^RuntimeDirectory=qelvo$|RuntimeDirectory=$name.d|" \
    -e "s|%S/qelvo |%S/$name |" -e "s|%t/qelvo |%t/$name.d |" "$unit" >"/run/systemd/system/$name.service"
systemctl daemon-reload
systemctl start "$name.service" || fail "start: $(journalctl -u "$name" --no-pager -n 20)"
log=/var/lib/$name/logs/s1
for _ in $(seq 150); do
    grep -qsE '^[0-9]{6}, ' "$log"/qlv*.csv && break
    sleep 0.1
done
grep -qsE '^[0-9]{6}, ' "$log"/qlv*.csv || fail "no data line within 15 s: $(journalctl -u "$name" --no-pager -n 20)"
pid=$(systemctl show -p MainPID --value "$name.service")
systemctl reload "$name.service"
sleep 1
[ "$(systemctl show -p MainPID --value "$name.service")" = "$pid" ] || fail "reload replaced the process"
systemctl is-active --quiet "$name.service" || fail "not running after reload"
start=$(date +%s%N)
systemctl stop "$name.service"
took=$((($(date +%s%N) - start) / 1000000))
[ "$(systemctl show -p Result --value "$name.service")" = success ] || fail "the stop did not end in success"
last=$(grep -h 'Logging' "$log"/qlv*.csv | tail -n1 | tr -d '\r')
[ "$last" = "/** Logging QUIT **/" ] || fail "the log ends with '$last', not its QUIT block"
echo "under systemd: logged, reloaded in place, stopped in $took ms with the QUIT block"
