#!/usr/bin/env bash
# Signal storm: N starts of the forwarder in diversion mode, each ended by
# a random signal from outside at a random moment (during start-up too)
# while applications ask over UDP and TCP. Each must end with status 0, or
# 1 when start-up had not finished, with no sanitizer report in its
# standard error, and leave no diversion rule behind. Prints a line per
# failure and a summary; exits 1 on any failure. Needs root (a network
# namespace of its own, iptables, a netfilter queue); not part of CI.
#
# usage: bench/signal_storm.sh [STARTS [BUILD_DIR]]   (default 200 build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
starts=${1:-200} build=${2:-build-asan}

if [ -z "${STORM_INNER:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "signal_storm: needs root" >&2; exit 2; }
  cmake --build "$build" -j"$(nproc)" --target qildnsc config_server upstream_responder >/dev/null
  STORM_INNER=1 exec unshare -n "$0" "$@"
fi

ip link set lo up
# The server applications ask, on an address of this namespace only.
ip addr add 192.0.2.53/32 dev lo

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

echo '{"cc":"US","dns_servers":[]}' > "$work/qildnsc.json"
"$build/tools/config_server" 127.0.0.1 5380 "$work/qildnsc.json" 3600 & pids+=($!)
"$build/bench/upstream_responder" 192.0.2.53 53 3600 & pids+=($!)
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/5380) 2>/dev/null && break; sleep 0.1; done

# Applications asking all the time, over UDP and TCP, diverted to the
# forwarder while it runs (and passing straight when it does not).
( while :; do dig @192.0.2.53 +tries=1 +time=1 +short app.test >/dev/null 2>&1; done ) & pids+=($!)
( while :; do dig @192.0.2.53 +tcp +tries=1 +time=1 +short tcp.test >/dev/null 2>&1; done ) & pids+=($!)

signals=(INT TERM HUP QUIT USR2 ALRM VTALRM PROF IO PWR XCPU XFSZ RTMIN+1 RTMAX)
declare -A seen
fail=0
for i in $(seq "$starts"); do
  sig=${signals[RANDOM % ${#signals[@]}]}
  delay_ms=$((RANDOM % 400))
  rm -f "$work/qildnsc_stdout.txt"
  (cd "$work" && QILDNSC_CONFIG_SERVER=127.0.0.1:5380 \
     exec "$OLDPWD/$build/bin/qildnsc/qildnsc" \
     -d 192.0.2.53 2>"$work/err.txt") & pid=$!
  sleep "$(printf '0.%03d' "$delay_ms")"
  kill -s "$sig" "$pid" 2>/dev/null || true
  status=0
  wait "$pid" || status=$?
  started=0
  grep -q 'Listening on' "$work/qildnsc_stdout.txt" 2>/dev/null && started=1
  why=
  if [ "$status" -ne 0 ] && ! { [ "$status" -eq 1 ] && [ $started -eq 0 ]; }; then
    why="status $status"
  fi
  grep -q 'Sanitizer' "$work/err.txt" && why="$why sanitizer report"
  for t in mangle nat; do
    iptables -w -t $t -S QILDNSC >/dev/null 2>&1 && why="$why $t rules left"
  done
  key="$status/$started"
  seen[$key]=$(( ${seen[$key]:-0} + 1 ))
  if [ -n "$why" ]; then
    fail=$((fail + 1))
    echo "start $i: SIG$sig after ${delay_ms} ms:$why"
    sed -n '1,20p' "$work/err.txt"
  fi
done
echo "signal_storm: $starts starts, $fail failures"
for k in "${!seen[@]}"; do
  echo "  status ${k%/*}, start-up finished ${k#*/}: ${seen[$k]}"
done
[ "$fail" -eq 0 ]
