#!/usr/bin/env bash
# run.sh BUILD_DIR: the packaged service under a real systemd. A minimal
# Debian 12 (bootstrapped once, cached under /var/cache/quavd-ci by its
# inputs) gets the package built from BUILD_DIR and boots with
# systemd-nspawn on a private network; a oneshot unit inside runs inside.sh
# and powers off. Prints inside.sh's report, whose last line is
# "systemd: N passed, N failed, N skipped". QUAVD_SYSTEMD_CHECK=skip skips it; =required
# (as in .ci/run) makes a missing tool or privilege a failure.
set -euo pipefail
build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
skip() {
  if [ "${QUAVD_SYSTEMD_CHECK:-}" = required ]; then echo "systemd check cannot run: $*"; exit 1; fi
  echo "systemd check skipped: $*"
  exit 0
}
[ "${QUAVD_SYSTEMD_CHECK:-}" != skip ] || skip "QUAVD_SYSTEMD_CHECK=skip"
[ "$(id -u)" = 0 ] || skip "it needs root"
for tool in debootstrap systemd-nspawn dpkg-deb cpack; do
  command -v $tool >/dev/null ||
    skip "$tool is missing (apt-get install debootstrap systemd-container dpkg-dev file)"
done

mirror=${QUAVD_DEBIAN_MIRROR:-http://deb.debian.org/debian}
include=systemd,systemd-sysv,adduser,libssl3
key=$(printf '%s\n' bookworm minbase "$include" "$mirror" | sha256sum | cut -c1-16)
cache=/var/cache/quavd-ci/debian12-minbase-$key.tar
if [ ! -s "$cache" ]; then
  echo "== bootstrapping Debian 12 into $cache"
  boot=$(mktemp -d /var/tmp/quavd-bootstrap.XXXXXX)
  if ! timeout 900 debootstrap --variant=minbase --include=$include bookworm "$boot/root" "$mirror" \
      >"$boot/log" 2>&1; then
    tail -n 20 "$boot/log"
    rm -rf "$boot"
    exit 1
  fi
  mkdir -p /var/cache/quavd-ci
  tar -C "$boot/root" -cf "$cache.part" . && mv "$cache.part" "$cache"
  rm -rf "$boot"
fi

work=$(mktemp -d /var/tmp/quavd-systemd.XXXXXX)
trap '[ -n "${QUAVD_SYSTEMD_KEEP:-}" ] || rm -rf "$work"' EXIT
mkdir "$work/root" "$work/results"
tar -C "$work/root" -xf "$cache"
(cd "$build" && timeout 120 cpack -G DEB -B "$work/pkg" >/dev/null)
cp "$work"/pkg/quavd_*.deb "$work/root/root/quavd.deb"
cp "$here/inside.sh" "$work/root/root/inside.sh"
cat >"$work/root/etc/systemd/system/quavd-check.service" <<UNIT
[Unit]
Description=quavd under systemd: the checks
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/bin/bash /root/inside.sh /results
ExecStopPost=/bin/systemctl --no-block poweroff
TimeoutStartSec=240
UNIT
ln -s ../quavd-check.service "$work/root/etc/systemd/system/multi-user.target.wants/quavd-check.service"
echo "== booting Debian 12 with systemd-nspawn"
timeout 300 systemd-nspawn --quiet --register=no --keep-unit --private-network --console=read-only \
  --boot -D "$work/root" --bind="$work/results:/results" >"$work/console" 2>&1 </dev/null || true
if ! tail -n 1 "$work/results/report" 2>/dev/null | grep -q '^systemd: [0-9]* passed, [0-9]* failed, [0-9]* skipped$'; then
  cat "$work/results/report" 2>/dev/null || true
  echo "systemd check: no complete report; the container's console ended with:"
  tail -n 40 "$work/console"
  exit 1
fi
cat "$work/results/report"
tail -n 1 "$work/results/report" | grep -q ', 0 failed,'
