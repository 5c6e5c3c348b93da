#!/bin/bash
# inside.sh RESULTS: run by a oneshot unit in the booted container. Installs
# /root/quavd.deb with apt-get and checks the service under systemd, each
# step within its own time limit; writes "ok - STEP" or "not ok - STEP:
# what was seen" lines and a last line "systemd: N passed, N failed" to
# RESULTS/report.
report=$1/report
pass=0 fail=0
export DEBIAN_FRONTEND=noninteractive
exec >"$1/trace" 2>&1

# step NAME FUNCTION: the function's output is what a failure reports.
step() {
  local out
  if out=$(timeout 60 bash -c "$2" 2>&1); then
    echo "ok - $1" >>"$report"
    pass=$((pass + 1))
  else
    echo "not ok - $1: $(echo "$out" | tail -n 8 | tr '\n' '|')" >>"$report"
    fail=$((fail + 1))
  fi
}
# Every quav call is bounded too; its output and exit status are checked.
q() { timeout 20 quav -w 5 "$@"; }
same() { [ "$1" = "$2" ] || { echo "got [$1], want [$2]"; return 1; }; }
# Waits up to 10 s for an outcome line in the unit's journal.
journal_has() {
  for _ in $(seq 100); do
    journalctl -u quavd --no-pager -o cat | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  echo "no line [$1] in journalctl -u quavd; it holds:"
  journalctl -u quavd --no-pager -o cat | tail -n 5
  return 1
}
export -f q same journal_has

installed() {
  set -e
  apt-get install -y -q ./quavd.deb >/tmp/apt.log 2>&1 || { tail -n 5 /tmp/apt.log; exit 1; }
  same "$(systemctl is-enabled quavd.socket quavd.service | tr '\n' ' ')" "disabled disabled "
  same "$(stat -c '%U %a' /srv/quavd)" "root 755"
  [ "$(id -u quavd)" -lt 1000 ]
  mkdir -p /srv/quavd/bin
  printf '#!/bin/sh\necho hello "$@"\n' >/srv/quavd/bin/hello
  printf '#!/bin/sh\n/usr/bin/id -un\n/usr/bin/touch /tmp/w && echo tmp writable\n/usr/bin/touch /srv/quavd/w 2>/dev/null && echo root writable || echo root read-only\n' >/srv/quavd/bin/who
  printf '#!/bin/sh\necho begun\nexec /bin/sleep 30\n' >/srv/quavd/bin/long
  chmod 755 /srv/quavd/bin/*
}
step "apt-get install: both units left off, the user, the server root" "cd /root; $(declare -f installed); installed"

step "quavd.socket: a request over IPv4 and over IPv6" '
  systemctl enable --now quavd.socket 2>&1 &&
  same "$(q -H 127.0.0.1 bin/hello v4)" "hello v4" && same "$(q -H ::1 bin/hello v6)" "hello v6"'
step "the outcome line in journalctl -u quavd" 'journal_has "command '"'"'bin/hello+v6'"'"' from "'
step "the script runs as quavd, can write /tmp, cannot write the server root" '
  same "$(q -H 127.0.0.1 bin/who)" "quavd
tmp writable
root read-only"'
step "every one of 30 outcome lines in journalctl -u quavd" '
  for i in $(seq 30); do q -H 127.0.0.1 bin/hello "n$i" >/dev/null || exit 1; done
  for i in $(seq 30); do journal_has "command '"'"'bin/hello+n$i'"'"' from " >/dev/null || { echo "n$i missing"; exit 1; }; done'
step "systemctl restart quavd (socket activated), a request right after" '
  systemctl restart quavd && same "$(q -H ::1 bin/hello again)" "hello again"'
step "service mode listens on IPv4 and IPv6; requests right after each restart" '
  systemctl disable --now quavd.socket 2>&1 && systemctl stop quavd && systemctl enable --now quavd.service 2>&1 || exit 1
  for i in 1 2 3; do
    systemctl restart quavd && same "$(q -H 127.0.0.1 bin/hello r$i)" "hello r$i" && same "$(q -H ::1 bin/hello s$i)" "hello s$i" || exit 1
  done'
step "an upgrade restarts the running daemon and keeps it enabled" '
  before=$(systemctl show -p MainPID --value quavd)
  dpkg -i /root/quavd.deb >/tmp/dpkg.log 2>&1 || { tail -n 5 /tmp/dpkg.log; exit 1; }
  after=$(systemctl show -p MainPID --value quavd)
  [ "$after" != 0 ] && [ "$after" != "$before" ] || { echo "MainPID $before, then $after"; exit 1; }
  same "$(systemctl is-enabled quavd.service)" enabled && same "$(q -H 127.0.0.1 bin/hello up)" "hello up"'
step "systemctl stop during a running script: its output relayed, its outcome logged (the handler pool's orderly stop)" '
  q -H 127.0.0.1 bin/long >/tmp/long.out 2>&1 & client=$!
  for _ in $(seq 100); do grep -q begun /tmp/long.out && break; sleep 0.1; done
  systemctl stop quavd; wait $client; status=$?
  same "$(cat /tmp/long.out)" begun && same "$status" 0 &&
    journal_has "command '"'"'bin/long'"'"' from " && systemctl start quavd'
override() {
  set -e
  mkdir -p /srv/other/bin /etc/systemd/system/quavd.service.d
  cp /srv/quavd/bin/hello /srv/other/bin/
  sed -n '/systemctl edit quavd`, then/,/^$/p' /lib/systemd/system/quavd.service | sed -n 's/^#   //p' \
    >/etc/systemd/system/quavd.service.d/override.conf
  systemctl daemon-reload
  systemctl restart quavd
  same "$(q -H 127.0.0.1 -p 8002 bin/hello other)" "hello other"
  rm -r /etc/systemd/system/quavd.service.d
  systemctl daemon-reload
}
step "the unit's override example works as written" "$(declare -f override); override"
step "a start that keeps failing is given up" '
  mkdir -p /etc/systemd/system/quavd.service.d
  printf "[Service]\nRestartSec=100ms\nExecStart=\nExecStart=/usr/sbin/quavd -d /nonexistent\n" >/etc/systemd/system/quavd.service.d/bad.conf
  systemctl daemon-reload; systemctl restart quavd
  for _ in $(seq 100); do [ "$(systemctl show -p Result --value quavd)" = start-limit-hit ] && break; sleep 0.1; done
  same "$(systemctl show -p Result --value quavd)" start-limit-hit &&
    same "$(systemctl show -p NRestarts --value quavd)" 4
  rm -r /etc/systemd/system/quavd.service.d; systemctl daemon-reload; systemctl reset-failed quavd'
step "apt-get purge: nothing of it left enabled, the user kept" '
  systemctl enable quavd.socket 2>&1; apt-get purge -y -q quavd >/tmp/apt.log 2>&1 || { tail -n 5 /tmp/apt.log; exit 1; }
  left=$(find /etc/systemd /var/lib/systemd -name "quavd.*"; systemctl list-unit-files "quavd.*" --no-legend)
  same "$left" "" && getent passwd quavd >/dev/null'
step "a reinstall after purge leaves both units off" '
  apt-get install -y -q /root/quavd.deb >/tmp/apt.log 2>&1 || { tail -n 5 /tmp/apt.log; exit 1; }
  same "$(systemctl is-enabled quavd.socket quavd.service | tr "\n" " ")" "disabled disabled "'

echo "systemd: $pass passed, $fail failed" >>"$report"
