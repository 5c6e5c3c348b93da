#!/bin/bash
# inside.sh RESULTS: run by a oneshot unit in the booted container. Installs
# /root/quavd.deb with apt-get and checks the service under systemd, each
# step within a time limit; writes "ok - STEP" or "not ok - STEP: what was
# seen" lines, then "systemd: N passed, N failed, N skipped", to
# RESULTS/report.
report=$1/report pass=0 fail=0
exec >"$1/trace" 2>&1
cd /root
export DEBIAN_FRONTEND=noninteractive
step() {
  local out
  if out=$(timeout 60 bash -c "$2" 2>&1); then
    echo "ok - $1" >>"$report" && pass=$((pass + 1))
  else
    echo "not ok - $1: $(echo "$out" | tail -n 8 | tr '\n' '|')" >>"$report"
    fail=$((fail + 1))
  fi
}
q() { timeout 20 quav -w 5 "$@"; }
same() { [ "$1" = "$2" ] || { echo "got [$1], want [$2]"; return 1; }; }
# An outcome line in the unit's journal, within 10 s.
logged() {
  for _ in $(seq 100); do journalctl -u quavd -o cat | grep -qF "command '$1' from " && return; sleep 0.1; done
  echo "no outcome line of $1 in journalctl -u quavd"
  return 1
}
apt() { apt-get "$@" -y -q >/tmp/apt.log 2>&1 || { tail -n 5 /tmp/apt.log; return 1; }; }
off() { same "$(systemctl is-enabled quavd.socket quavd.service | tr '\n' ' ')" "disabled disabled "; }
export -f q same logged apt off

step "apt-get install: both units off, a system user, /srv/quavd root's 0755" '
  apt install ./quavd.deb && off && same "$(stat -c "%U %a" /srv/quavd)" "root 755" && [ "$(id -u quavd)" -lt 1000 ] &&
  mkdir /srv/quavd/bin && cd /srv/quavd/bin &&
  printf "#!/bin/sh\necho hello \"\$@\"\n" >hello && printf "#!/bin/sh\necho begun\nexec /bin/sleep 30\n" >long &&
  printf "#!/bin/sh\n/usr/bin/id -un\n/usr/bin/touch /tmp/w && echo tmp\n/usr/bin/touch /srv/quavd/w 2>/dev/null || echo root read-only\n" >who &&
  chmod 755 hello long who'
step "the unit scores OK with systemd-analyze security" '
  systemd-analyze security quavd.service | tail -n 1 | grep "Overall exposure level for quavd.service: .* OK"'
step "quavd.socket: a request over IPv4 and over IPv6" '
  systemctl enable --now quavd.socket && same "$(q -H 127.0.0.1 bin/hello 4)" "hello 4" && same "$(q -H ::1 bin/hello 6)" "hello 6"'
step "the outcome line in journalctl -u quavd" 'logged bin/hello+6'
step "the script runs as quavd, can write /tmp, cannot write the server root" '
  same "$(q -H ::1 bin/who 2>&1)" "$(printf "quavd\ntmp\nroot read-only")"'
step "all of 30 outcome lines in journalctl -u quavd" '
  for i in $(seq 30); do q bin/hello n$i >/dev/null || exit 1; done
  for i in $(seq 30); do logged bin/hello+n$i || exit 1; done'
step "systemctl restart quavd (socket activated), a request right after" '
  systemctl restart quavd && same "$(q -H ::1 bin/hello a)" "hello a"'
step "service mode: IPv4 and IPv6, a request right after each restart" '
  systemctl disable --now quavd.socket && systemctl stop quavd && systemctl enable --now quavd || exit 1
  for i in 1 2 3; do
    systemctl restart quavd && same "$(q bin/hello r$i)" "hello r$i" && same "$(q -H ::1 bin/hello s$i)" "hello s$i" || exit 1
  done'
step "an upgrade restarts the running daemon and keeps it enabled" '
  before=$(systemctl show -p MainPID --value quavd) && dpkg -i quavd.deb >/tmp/dpkg.log 2>&1 || exit 1
  after=$(systemctl show -p MainPID --value quavd)
  [ "$after" != 0 ] && [ "$after" != "$before" ] && same "$(systemctl is-enabled quavd)" enabled && same "$(q bin/hello u)" "hello u"'
step "systemctl stop during a script: its output relayed, its outcome logged" '
  q bin/long >/tmp/long.out 2>&1 & client=$!
  for _ in $(seq 100); do grep -q begun /tmp/long.out && break; sleep 0.1; done
  systemctl stop quavd; wait $client; status=$?
  same "$(cat /tmp/long.out) $status" "begun 0" && logged bin/long'
step "the unit's override example works as written" '
  mkdir -p /srv/other/bin /etc/systemd/system/quavd.service.d && cp /srv/quavd/bin/hello /srv/other/bin/ &&
  sed -n "/systemctl edit quavd\`, then/,/^#\$/s/^#   //p" /lib/systemd/system/quavd.service >/etc/systemd/system/quavd.service.d/o.conf &&
  systemctl daemon-reload && systemctl restart quavd && same "$(q -p 8002 bin/hello o)" "hello o"'
step "a start that keeps failing is given up after a few tries" '
  printf "[Service]\nRestartSec=100ms\nExecStart=\nExecStart=/usr/sbin/quavd -d /nonexistent\n" >/etc/systemd/system/quavd.service.d/o.conf
  systemctl daemon-reload; systemctl restart quavd; sleep 3
  n=$(systemctl show -p NRestarts --value quavd); sleep 1
  same "$(systemctl is-active quavd) $(systemctl show -p NRestarts --value quavd)" "failed $n" && [ "$n" -le 5 ]'
step "apt-get purge: nothing of it left enabled, the user kept" '
  rm -r /etc/systemd/system/quavd.service.d && systemctl enable quavd.socket && apt purge quavd || exit 1
  same "$(find /etc/systemd /var/lib/systemd -name "quavd.*"; systemctl list-unit-files "quavd.*" --no-legend)" "" &&
    getent passwd quavd >/dev/null'
step "a reinstall after purge leaves both units off" 'apt install ./quavd.deb && off'
echo "systemd: $pass passed, $fail failed, 0 skipped" >>"$report"
