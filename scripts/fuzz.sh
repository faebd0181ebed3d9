#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/*Fuzzer.cpp) with clang, address and
# undefined-behaviour sanitizers into build-fuzz/, and runs each for a
# bounded time on a scratch copy of its seed corpus fuzz/corpus/<Name>/
# (<Name> = the target name without "Fuzzer"). Fails on any crash, hang or
# sanitizer report; the reproducer of a failure is copied into the target's
# seed corpus (see below). The same clang build also compiles both programs
# and the shared client library, so the thread-safety analysis
# (-Werror=thread-safety) covers every library.
#   FUZZ_SECONDS=10   run time per target
#   FUZZ_BUILD=dir    build directory (default build-fuzz)
#   FUZZ_TARGETS="A B" only these targets (default: every fuzz/*Fuzzer.cpp)
#   KIV_WERROR=ON     compiler warnings are errors (set by test.sh --all)
source "$(dirname "$0")/common.sh"

SECONDS_EACH="${FUZZ_SECONDS:-10}"
BUILD="${FUZZ_BUILD:-$ROOT/build-fuzz}"

kiv_need_packages cmake ninja-build clang

targets=()
if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  for src in "$ROOT"/fuzz/*Fuzzer.cpp; do
    [ -e "$src" ] || continue
    targets+=("$(basename "$src" .cpp)")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets found" >&2
  exit 0
fi

# -fsanitize=fuzzer-no-link instruments the libraries too, so the fuzzers
# see coverage inside them.
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DKIV_BUILD_FUZZ=ON -DKIV_BUILD_TESTS=OFF \
  -DKIV_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_WERROR="${KIV_WERROR:-OFF}" \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
# Both programs and the client library's objects are built here too, so the
# clang lock analysis sees every library. The shared library itself is not
# linked: a shared object cannot take the static sanitizer runtime.
cmake --build "$BUILD" -j "$JOBS" --target "${targets[@]}" kivserver kivtool KivANSIAPI

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
for t in "${targets[@]}"; do
  corpus="$ROOT/fuzz/corpus/${t%Fuzzer}"
  work="$(mktemp -d)"
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "== fuzz $t for ${SECONDS_EACH}s" >&2
  if ! (cd "$work" && "$BUILD/bin/$t" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$work" >"$work/fuzz.log" 2>&1); then
    echo "FAILED: $t (log and reproducer kept in $work)" >&2
    tail -50 "$work/fuzz.log" >&2
    # A reproducer becomes a seed of its own: ctest replays every seed
    # (FuzzReplay.<Name>) in the normal and sanitizer builds, so it stays a
    # regression test once the fault is fixed. Commit it with the fix.
    mkdir -p "$corpus"
    for crash in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
      [ -e "$crash" ] || continue
      cp "$crash" "$corpus/regression-$(basename "$crash")"
      echo "reproducer saved as $corpus/regression-$(basename "$crash")" >&2
    done
    status=1
    continue
  fi
  grep -E "^stat::number_of_executed_units|^stat::new_units_added" "$work/fuzz.log" >&2 || true
  rm -rf "$work"
done
exit $status
