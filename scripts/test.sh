#!/usr/bin/env bash
# Builds and runs the whole test suite through ctest.
#   ./scripts/test.sh               normal build (build/)
#   ./scripts/test.sh --sanitizers  also under address+undefined and thread sanitizers
#   ./scripts/test.sh --fuzz        also short bounded libFuzzer runs (clang)
#   ./scripts/test.sh --all         all of the above
source "$(dirname "$0")/common.sh"

SAN=0; FUZZ=0
for a in "$@"; do
  case "$a" in
    --sanitizers) SAN=1 ;;
    --fuzz) FUZZ=1 ;;
    --all) SAN=1; FUZZ=1 ;;
    *) echo "unknown option $a" >&2; exit 2 ;;
  esac
done

kiv_base_packages
cd "$ROOT"

run_suite() {
  local dir="$1"; shift
  echo "== build $dir $*" >&2
  kiv_build "$dir" "$@"
  echo "== test $dir" >&2
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout 300)
}

run_suite build
if [ "$SAN" = 1 ]; then
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
  run_suite build-asan -DKIV_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
  run_suite build-tsan -DKIV_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
if [ "$FUZZ" = 1 ] && [ -x "$ROOT/scripts/fuzz.sh" ]; then
  "$ROOT/scripts/fuzz.sh"
fi
