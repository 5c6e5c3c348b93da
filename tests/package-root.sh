#!/bin/sh
# package-root.sh DIR [--systemd] COMMAND...: runs the command in a
# throw-away root, so that maintainer scripts can be tried without touching
# the machine: a mount namespace of its own, /etc through an overlay whose
# upper layer is a tmpfs on the empty directory DIR, /srv, /run and
# /var/log on tmpfs, and the units' helpers replaced by stand-ins that add
# how they were called to DIR/calls (a first install as far as they tell).
# --systemd makes /run/systemd/system, as on a machine booted with it.
set -e
exec unshare --mount --propagation private sh -ec '
t=$1; shift
mount -t tmpfs tmpfs "$t"
mkdir "$t/u" "$t/w" "$t/bin"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$t/u,workdir=$t/w" /etc
for d in /srv /run /var/log; do mount -t tmpfs tmpfs $d; done
for h in deb-systemd-helper deb-systemd-invoke systemctl; do
  printf "#!/bin/sh\necho $h \"\$*\" >>$t/calls\ncase \$1 in debian-installed|--quiet) exit 1; esac\n" >"$t/bin/$h"
  chmod 755 "$t/bin/$h"
done
[ "$1" != --systemd ] || { mkdir -p /run/systemd/system; shift; }
PATH=$t/bin:$PATH "$@"
' package-root "$@"
