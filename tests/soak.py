#!/usr/bin/env python3
"""Soak test: one daemon, many sequential connections of mixed kinds.

Usage: tests/soak.py --daemon PATH [--connections N] [--no-rss]

The short mode (1,000 connections, the default) runs in CI; the long mode
(--connections 10000) is run by hand. At the end the daemon must hold as many
descriptors as after the first 100 connections, its resident memory may have
grown by at most RSS_BOUND_KIB, it must have no zombie children, its log must
hold exactly one outcome line per script started (by kind), and a last normal
request must be served correctly. --no-rss drops the memory bound, for
daemons built with a sanitizer whose quarantine grows on purpose.
"""

import argparse
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

RSS_BOUND_KIB = 512
CONNECT_TIMEOUT = 10.0
EXCHANGE_TIMEOUT = 20.0
BIG_OUTPUT = 256 * 1024

SCRIPTS = {
    # Prints its arguments, then copies its input.
    "bin/echo": 'echo "args:$*"\ncat\n',
    # Prints the environment it was started with, one entry a line (a shell
    # would drop entries that are not NAME=value and add its own).
    "bin/env": "tr '\\0' '\\n' </proc/$$/environ\n",
    # Far more output than a socket holds, for clients that go away early.
    "bin/big": "head -c %d /dev/zero | tr '\\0' x\n" % BIG_OUTPUT,
    # Ends by a signal with no output, and after some output.
    "bin/kill9": "kill -KILL $$\n",
    "bin/term": "echo partial\nkill -TERM $$\n",
    # Over a MiB of output before it reads: held in a file while fed.
    "bin/spill": "seq 1 200000\ncat\n",
}
SPILL_OUTPUT = b"".join(b"%d\n" % i for i in range(1, 200001))


class Failure(Exception):
    pass


def crlf(*lines):
    return b"".join(line + b"\r\n" for line in lines)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def exchange(port, request, half_close=False, read_limit=None):
    """Sends the request, reads until the daemon closes (or read_limit bytes
    of anything, then drops the connection). Returns the bytes read."""
    deadline = time.monotonic() + EXCHANGE_TIMEOUT
    with socket.create_connection(("127.0.0.1", port), timeout=CONNECT_TIMEOUT) as s:
        if request:
            s.sendall(request)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        got = bytearray()
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("no end of reply within %.0fs: %r" % (EXCHANGE_TIMEOUT, bytes(got[:200])))
            s.settimeout(left)
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            got += chunk
            if read_limit is not None and len(got) >= read_limit:
                break
        return bytes(got)


ENV_OK = b"100 Enter env.  End with single '.' on a line\r\n100 Env accepted\r\n"


def accepted(cmd):
    return b"101 Cmd accepted '" + cmd + b"'\r\n"


def served(cmd, body):
    return accepted(cmd) + b"200 Cmd started '" + cmd + b"'\r\n\r\n" + body


class Kinds:
    """Each kind returns (request, check, outcome): `check` holds the reply
    wanted ("want" or "prefix") and how to talk ("half_close",
    "read_limit"); `outcome` names the log outcome of the script started
    (None: no script)."""

    def __init__(self, rng):
        self.rng = rng

    def normal(self):
        return crlf(b"cmd bin/echo+a+b", b"end"), {"want": served(b"bin/echo+a+b", b"args:a b\n")}, "ok"

    def normal_half_close(self):
        req, check, outcome = self.normal()
        return req, dict(check, half_close=True), outcome

    def with_input(self):
        req = crlf(b"cmd bin/echo+in", b"input", b"hello", b"", b"world", b".", b"end")
        return req, {"want": served(b"bin/echo+in", b"args:in\nhelloworld.")}, "ok"

    def bad_path(self):
        cmd = self.rng.choice([b"/bin/ls", b"../x", b"a/../b", b"%2fbin%2fsh", b"x/%2e%2e/y"])
        return crlf(b"cmd " + cmd, b"end"), {"want": accepted(cmd) + b"502 Cmd failed\r\n"}, None

    def missing_script(self):
        want = accepted(b"bin/nothere+x") + b"503 exec of 'bin/nothere+x' failed\n"
        return crlf(b"cmd bin/nothere+x", b"end"), {"want": want}, "failed"

    def vanish(self):
        check = {"prefix": served(b"bin/big", b""), "read_limit": 8192}
        return crlf(b"cmd bin/big", b"end"), check, "ok"

    def silent_vanish(self):  # sends its request and closes without reading
        return crlf(b"cmd bin/big", b"end"), {"read_limit": 0}, "ok"

    def long_cmd_line(self):
        # Cut at 1023 bytes: the rest is a line of its own and a bad command.
        line = b"cmd bin/echo+" + b"a" * (1100 + self.rng.randrange(200))
        want = accepted(line[4:1023]) + b"500 Bad command '" + line[1023:] + b"'\r\n"
        return crlf(line, b"end"), {"want": want}, None

    def long_env_line(self):
        value = b"X=" + b"x" * 1500
        want = ENV_OK + served(b"bin/env", value[:1023] + b"\n" + value[1023:] + b"\n")
        return crlf(b"env", value, b".", b"cmd bin/env", b"end"), {"want": want}, "ok"

    def env_50(self):
        lines = [b"V%d=%d" % (i, i) for i in range(50)]
        want = ENV_OK + served(b"bin/env", b"".join(l + b"\n" for l in lines))
        return crlf(b"env", *lines, b".", b"cmd bin/env", b"end"), {"want": want}, "ok"

    def env_51(self):
        lines = [b"V%d=%d" % (i, i) for i in range(51)]
        want = (accepted(b"bin/echo") + b"100 Enter env.  End with single '.' on a line\r\n"
                b"501 Environment full 'V50=50'\r\n")
        return crlf(b"cmd bin/echo", b"env", *lines, b".", b"end"), {"want": want}, None

    def empty_line(self):
        return b"\r\n", {"want": b"500 Bad command ''\r\n"}, None

    def garbage(self):
        # The first byte is never a letter: the first line is refused and
        # ends the dialogue whatever follows.
        first = self.rng.choice([b for b in range(256) if not chr(b).isalpha() and b != 10])
        body = bytes(self.rng.choice([b for b in range(256) if b != 10]) for _ in range(self.rng.randrange(300)))
        return bytes([first]) + body + b"\r\n", {"prefix": b"500 Bad command '"}, None

    def no_command(self):
        return crlf(b"end"), {"want": b"502 No Cmd specified\r\n"}, None

    def killed(self):
        want = accepted(b"bin/kill9") + b"503 exec of 'bin/kill9' failed\n"
        return crlf(b"cmd bin/kill9", b"end"), {"want": want}, "died"

    def terminated(self):
        return crlf(b"cmd bin/term", b"end"), {"want": served(b"bin/term", b"partial\n")}, "died"

    def spill(self):
        lines = [b"%d" % (1000 + i) + b"z" * 996 for i in range(100)]
        want = served(b"bin/spill", SPILL_OUTPUT + b"".join(lines) + b".")
        return crlf(b"cmd bin/spill", b"input", *lines, b".", b"end"), {"want": want}, "ok"

    def nothing(self):
        return b"", {"want": b"", "half_close": True}, None


# Relative weights of the kinds in the mix.
MIX = [
    ("normal", 20), ("normal_half_close", 5), ("with_input", 10), ("bad_path", 8),
    ("missing_script", 8), ("vanish", 4), ("silent_vanish", 2), ("long_cmd_line", 5),
    ("long_env_line", 4), ("env_50", 4), ("env_51", 4), ("empty_line", 5), ("garbage", 8),
    ("no_command", 3), ("killed", 4), ("terminated", 4), ("nothing", 5), ("spill", 3),
]


def run_one(port, kinds, name):
    req, check, outcome = getattr(kinds, name)()
    got = exchange(port, req, half_close=check.get("half_close", False), read_limit=check.get("read_limit"))
    if "want" in check and got != check["want"]:
        raise Failure("%s: got %r, want %r" % (name, got[:300], check["want"][:300]))
    if "prefix" in check and not got.startswith(check["prefix"]):
        raise Failure("%s: reply %r does not begin with %r" % (name, got[:300], check["prefix"][:300]))
    return outcome


def proc_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def settled_fds(pid, timeout=5.0):
    """The daemon's descriptor count once it holds no connection any more
    (it ends a connection a moment after the client has seen its end)."""
    def sockets():
        n = 0
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                n += os.readlink("/proc/%d/fd/%s" % (pid, fd)).startswith("socket:")
            except OSError:
                pass
        return n
    deadline = time.monotonic() + timeout
    while sockets() > 1 and time.monotonic() < deadline:
        time.sleep(0.01)
    return proc_fds(pid)


def proc_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next((int(l.split()[1]) for l in f if l.startswith("VmRSS:")), -1)


def zombie_children(pid):
    n = 0
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        n += fields[0] == "Z" and int(fields[1]) == pid
    return n


OUTCOME_RE = re.compile(rb"^\[[^]]*\] command '.*' from .* (ok, status 0|failed, status \d+|died with signal \d+)$")


def log_outcomes(path):
    counts = {"ok": 0, "failed": 0, "died": 0}
    with open(path, "rb") as f:
        for m in filter(None, (OUTCOME_RE.match(line.rstrip(b"\n")) for line in f)):
            counts[m.group(1).split()[0].rstrip(b",").decode()] += 1
    return counts


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--daemon", required=True)
    ap.add_argument("--connections", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=6)
    ap.add_argument("--no-rss", action="store_true")
    args = ap.parse_args()

    rng = random.Random(args.seed)
    kinds = Kinds(rng)
    names = [n for n, _ in MIX]
    weights = [w for _, w in MIX]

    root = tempfile.mkdtemp(prefix="quavd-soak-")
    daemon = None
    try:
        for path, body in SCRIPTS.items():
            full = os.path.join(root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w") as f:
                f.write("#!/bin/sh\n" + body)
            os.chmod(full, 0o755)

        port = free_port()
        err = open(os.path.join(root, ".stderr"), "wb")
        daemon = subprocess.Popen([os.path.abspath(args.daemon), "-p", str(port), "-l"], cwd=root,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        pid_file = os.path.join(root, "quavd.pid")
        for _ in range(1000):
            if os.path.exists(pid_file) and open(pid_file).read().endswith("\n"):
                break
            if daemon.poll() is not None:
                raise Failure("daemon exited at start with %d" % daemon.returncode)
            time.sleep(0.01)
        else:
            raise Failure("daemon did not start")

        expected = {"ok": 0, "failed": 0, "died": 0}
        seen = {n: 0 for n in names}
        base_fds = base_rss = None
        start = time.monotonic()
        for i in range(args.connections):
            name = rng.choices(names, weights)[0]
            seen[name] += 1
            outcome = run_one(port, kinds, name)
            if outcome:
                expected[outcome] += 1
            if daemon.poll() is not None:
                raise Failure("daemon died after connection %d (%s): %d" % (i + 1, name, daemon.returncode))
            if i + 1 == 100:
                # The next connection is accepted only once this one's script
                # is reaped, so a normal exchange here settles the daemon.
                run_one(port, kinds, "normal")
                expected["ok"] += 1
                base_fds = settled_fds(daemon.pid)
                base_rss = proc_rss_kib(daemon.pid)
        elapsed = time.monotonic() - start

        # The last request: served correctly, and it settles the daemon.
        run_one(port, kinds, "normal")
        expected["ok"] += 1
        end_fds = settled_fds(daemon.pid)
        end_rss = proc_rss_kib(daemon.pid)
        zombies = zombie_children(daemon.pid)
        got = log_outcomes(os.path.join(root, "quavd.log"))

        started = sum(expected.values())
        print("soak: %d connections in %.1fs (%.0f/s), %d scripts started" %
              (args.connections, elapsed, args.connections / elapsed, started))
        print("soak: kinds: " + ", ".join("%s %d" % (n, seen[n]) for n in names))
        print("soak: descriptors %s after 100, %d at the end" % (base_fds, end_fds))
        print("soak: RSS %s KiB after 100, %d KiB at the end (bound +%d KiB%s)" %
              (base_rss, end_rss, RSS_BOUND_KIB, ", not checked" if args.no_rss else ""))
        print("soak: zombies %d; outcome lines %s, expected %s" % (zombies, got, expected))

        problems = []
        if base_fds is not None and end_fds != base_fds:
            problems.append("descriptors went from %d to %d" % (base_fds, end_fds))
        if not args.no_rss and base_rss is not None and end_rss > base_rss + RSS_BOUND_KIB:
            problems.append("RSS grew from %d to %d KiB" % (base_rss, end_rss))
        if zombies:
            problems.append("%d zombie children" % zombies)
        if got != expected:
            problems.append("outcome lines %s, expected %s" % (got, expected))
        if problems:
            raise Failure("; ".join(problems))
        print("soak: PASS")
        return 0
    except (Failure, OSError) as e:
        print("soak: FAIL: %s" % e, file=sys.stderr)
        return 1
    finally:
        if daemon is not None and daemon.poll() is None:
            daemon.send_signal(signal.SIGTERM)
            try:
                daemon.wait(10)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()
        if os.environ.get("SOAK_KEEP"):
            print("soak: kept %s" % root)
        else:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
