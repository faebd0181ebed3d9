#!/usr/bin/env bash
# The trace facility end to end on the shipped default configuration, in a
# sandbox directory of its own: start the dispatcher, trace from the example
# application, query the filter rules, pause and resume, reload, switch
# preservation on and off, stop the dispatcher, export the binary logs and
# show them with the status file.
source "$(dirname "$0")/common.sh"
kiv_base_packages
cd "$ROOT"
BUILD="${BUILD_DIR:-$ROOT/build}"
cmake -S "$ROOT" -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target kivserver kivtool traced_app

BIN="$BUILD/bin"
SANDBOX="$(mktemp -d /tmp/kivdemo-XXXXXX)"
mkdir -p "$SANDBOX/cfg" "$SANDBOX/log"
cp "$ROOT/cfg/KivConfigLinux.xml" "$SANDBOX/cfg/"
export OLVAN_VORNEL_DIR="$SANDBOX" OLVAN_VORNEL_CFG="$SANDBOX/cfg"
TEMP="$SANDBOX/temp/KIV"
trap '"$BIN/kivserver" stop >/dev/null 2>&1 || true; rm -rf "$SANDBOX"' EXIT

wait_for() {  # wait_for <test...>: up to 10 s
  for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
  return 1
}
step() { printf '\n== %s\n' "$*"; }
kivtool() { "$BIN/kivtool" "$@" 2>&1 | sed '1,3d'; }  # without the banner
app() { "$BIN/traced_app" "$@"; }

step "sandbox $SANDBOX, configuration $OLVAN_VORNEL_CFG/KivConfigLinux.xml (the shipped default)"
step "kivserver start"
"$BIN/kivserver" start
wait_for test -s "$TEMP/KivService.pid"
echo "dispatcher pid $(cat "$TEMP/KivService.pid")"

# The dispatcher keeps one log file open while any process is registered
# and closes it when the last one leaves; a service that stays registered
# (the example with "hold", until its standard input closes) keeps every
# step below in one file.
step "traced_app: 4 threads x 200 records over modules Example and Disabled, four labels, two clients"
mkfifo "$SANDBOX/hold"
"$BIN/traced_app" 200 4 5 hold <"$SANDBOX/hold" >"$SANDBOX/app.out" &
APP=$!
exec 3>"$SANDBOX/hold"
wait_for grep -q written "$SANDBOX/app.out"
cat "$SANDBOX/app.out"

step "kivtool test: what the default rules let through"
kivtool test -m Example -l Debug
kivtool test -m Example -l Verbose
kivtool test -m Example -l Verbose -c ExampleClient
kivtool test -m Disabled -l Error

step "kivtool pause"
kivtool pause
step "kivtool resume, then more records"
kivtool resume
app 10 1

step "kivtool reload"
kivtool reload

step "kivtool preservation -on: log files of their own, with larger limits"
kivtool preservation -on
app 20 2
step "kivtool preservation -off"
kivtool preservation -off
app 10 1

step "status file $TEMP/KivServerStatus.txt"
sleep 1.2  # rewritten once a second
cat "$TEMP/KivServerStatus.txt"

step "the held application un-registers"
exec 3>&-
wait "$APP"

step "kivserver stop"
"$BIN/kivserver" stop
echo
wait_for test ! -e "$TEMP/KivService.pid"

step "log files"
ls -l "$SANDBOX/log"
step "kivtool export -d $SANDBOX/log -f $SANDBOX/export.txt"
kivtool export -d "$SANDBOX/log" -f "$SANDBOX/export.txt" -silent
echo "$(grep -c 'record' "$SANDBOX/export.txt") trace lines exported"
step "first exported lines"
head -n 15 "$SANDBOX/export.txt"
step "control records (attach, pause, resume, reload, preservation, detach)"
grep 'Control message' "$SANDBOX/export.txt"
