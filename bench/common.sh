# What the bench scripts share: the Release build with the bench tools, the
# peers installed from Debian when missing, a work directory, and every
# server started in the background stopped on exit. Sourced, not run.
here=$(cd "$(dirname "${BASH_SOURCE[1]}")" && pwd)
repo=$(dirname "$here")
build=${BUILD_DIR:-$repo/build-bench}

# bench_setup NAME TARGET...: builds the targets and makes $work.
bench_setup() {
  local name=$1
  shift
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUAVD_BENCH=ON >/dev/null
  cmake --build "$build" -j2 --target "$@" >/dev/null
  work=$(mktemp -d "/tmp/quavd-$name-bench.XXXXXX")
  pids=()
  trap cleanup EXIT
  trap 'exit 130' INT TERM
}

# need_packages PACKAGE...: apt-get installs the ones given.
need_packages() {
  (($# > 0)) || return 0
  echo "installing $*" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends "$@" >/dev/null ||
    { apt-get update >/dev/null && apt-get install -y --no-install-recommends "$@" >/dev/null; }
}

stop_all() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
cleanup() {
  stop_all
  rm -rf "$work"
}
