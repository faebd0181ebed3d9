#!/usr/bin/env bash
# Builds and runs the dispatcher as a daemon in a sandbox directory, shows the
# files it created and stops it again.
source "$(dirname "$0")/common.sh"
kiv_base_packages
cd "$ROOT"
kiv_build build

KIVSERVER="$ROOT/build/bin/kivserver"
SANDBOX="$(mktemp -d /tmp/kivdemo-XXXXXX)"
export OLVAN_VORNEL_DIR="$SANDBOX" OLVAN_VORNEL_CFG="$SANDBOX"
[ -d "$ROOT/cfg" ] && cp -r "$ROOT/cfg" "$SANDBOX/"
TEMP="$SANDBOX/temp/KIV"
trap '"$KIVSERVER" stop >/dev/null 2>&1 || true; rm -rf "$SANDBOX"' EXIT

wait_for() {  # wait_for <test...>: up to 10 s
  for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
  return 1
}

echo "== sandbox $SANDBOX"
echo "== kivserver start"
"$KIVSERVER" start
wait_for test -s "$TEMP/KivDispatcher.pid"
wait_for test -s "$TEMP/KivService.pid"
PID="$(cat "$TEMP/KivDispatcher.pid")"
echo "== daemon pid $PID; files in $TEMP:"
ls -l "$TEMP"
echo "== /var/run/KivServer.pid: $(cat /var/run/KivServer.pid)"
echo "== kivserver start again"
"$KIVSERVER" start
echo "== kivserver stop"
"$KIVSERVER" stop; echo
wait_for test ! -e "$TEMP/KivDispatcher.lck"
echo "== files left in $TEMP:"
ls -l "$TEMP"
[ -e /var/run/KivServer.pid ] && echo "LSB PID file still there" || echo "LSB PID file removed"
