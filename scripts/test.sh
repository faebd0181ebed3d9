#!/usr/bin/env bash
# Builds and runs the whole test suite through ctest.
#   ./scripts/test.sh               normal build (build/)
#   ./scripts/test.sh --sanitizers  also under address+undefined and thread sanitizers
#   ./scripts/test.sh --fuzz        also short bounded libFuzzer runs (clang)
#   ./scripts/test.sh --werror      every build treats compiler warnings as errors
#   ./scripts/test.sh --all         all of the above (what CI runs)
source "$(dirname "$0")/common.sh"

SAN=0; FUZZ=0
for a in "$@"; do
  case "$a" in
    --sanitizers) SAN=1 ;;
    --fuzz) FUZZ=1 ;;
    --werror) export KIV_WERROR=ON ;;
    --all) SAN=1; FUZZ=1; export KIV_WERROR=ON ;;
    *) echo "unknown option $a" >&2; exit 2 ;;
  esac
done

kiv_base_packages
cd "$ROOT"

# run_suite <build dir> [cmake options...]: builds and runs ctest there.
run_suite() {
  local dir="$1"; shift
  echo "== build $dir $*" >&2
  kiv_build "$dir" "$@"
  echo "== test $dir" >&2
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout 300)
}

# run_sanitized_suite <build dir> <ctest exclude regex> [cmake options...]:
# as run_suite, with every
# sanitizer report written to <build dir>/sanitizer-reports/. Programs that
# the tests start (the kivserver daemon, whose standard error goes nowhere)
# inherit the options, so a report from them is caught too: any report file
# fails the run, even when every test passed.
run_sanitized_suite() {
  local dir="$1" exclude="$2"; shift 2
  echo "== build $dir $*" >&2
  kiv_build "$dir" "$@"
  local reports="$ROOT/$dir/sanitizer-reports"
  rm -rf "$reports"
  mkdir -p "$reports"
  echo "== test $dir (sanitizer reports in $reports)" >&2
  local rc=0
  (
    cd "$dir"
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:log_path=$reports/asan"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
    # The client library keeps working in a child forked from a threaded
    # process (its fork handlers start the child's own threads again), which
    # the thread sanitizer refuses by default.
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:log_path=$reports/tsan"
    ctest --output-on-failure -j "$JOBS" --timeout 300 ${exclude:+-E "$exclude"}
  ) || rc=$?
  local found
  found="$(find "$reports" -type f | sort)"
  if [ -n "$found" ]; then
    echo "== sanitizer reports in $dir:" >&2
    while IFS= read -r f; do
      echo "---- $f" >&2
      head -100 "$f" >&2
    done <<<"$found"
    rc=1
  fi
  return $rc
}

run_suite build
if [ "$SAN" = 1 ]; then
  # Left out under sanitizers, where it cannot pass by construction:
  # InstallE2E builds a plain C program against the installed library, which
  # there is instrumented (it needs the sanitizer runtime first).
  run_sanitized_suite build-asan "^InstallE2E\." -DKIV_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
  run_sanitized_suite build-tsan "^InstallE2E\." \
    -DKIV_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
if [ "$FUZZ" = 1 ] && [ -x "$ROOT/scripts/fuzz.sh" ]; then
  "$ROOT/scripts/fuzz.sh"
fi
