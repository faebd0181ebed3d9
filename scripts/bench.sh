#!/usr/bin/env bash
# Benchmarks against the tracers and loggers users would pick instead.
# Installs the peers from Debian packages, makes a Release build in
# build-bench/ and runs bench/KivBench, which prints Markdown tables (also
# written to build-bench/bench-results.md). Bounded: about 15 minutes on 2 cores.
#
#   scripts/bench.sh [KivBench options, e.g. --runs=3 --only=cost,stream]
#   scripts/bench.sh --only=idle   idle scaling alone (0, 200 and 1,000
#                                  idle clients; no peer packages needed)
#
# Runs as root: the peer tracer's session daemon is started and stopped by the
# benchmark (user space only, with its own HOME and LTTNG_HOME).
source "$(dirname "$0")/common.sh"
if [ "$(id -u)" != 0 ]; then
  echo "scripts/bench.sh must run as root (it starts lttng-sessiond)" >&2
  exit 1
fi
kiv_base_packages
case " $* " in
  *" --only=idle "*) ;;  # the idle step measures the dispatcher alone
  *) kiv_need_packages liblttng-ust-dev lttng-tools liblttng-ctl-dev babeltrace2 libspdlog-dev ;;
esac
cd "$ROOT"
BUILD="$ROOT/build-bench"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_BENCH=ON -DKIV_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target kivserver kivtool KivBench BenchWriter

WORK="$(mktemp -d /tmp/kivbench-XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
echo "Load before the run: $(cat /proc/loadavg); descriptors per process $(ulimit -n), pid_max $(cat /proc/sys/kernel/pid_max), threads-max $(cat /proc/sys/kernel/threads-max)" >&2
timeout 1500 "$BUILD/bin/KivBench" --work-dir="$WORK" --results="$BUILD/bench-results.md" "$@"
