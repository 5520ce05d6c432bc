#!/usr/bin/env bash
# What naming the asking applications (-u) costs: the forwarder's CPU time
# (user and system, every thread, from /proc/PID/stat) over SECONDS of
# RATE queries per second, each from a new UDP socket kept open 200 ms
# (a program that makes a socket per query), without -u and with it, and
# their ratio. In a private network namespace (loopback only). Needs root
# (unshare -n).
#
# usage: bench/naming.sh [SECONDS] [RATE]   (default 10, 400)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-10}
rate=${2:-400}
if [ -z "${QIL_BENCH_NETNS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "bench/naming.sh: needs root (unshare -n)" >&2; exit 1; }
  command -v python3 >/dev/null || { echo "python3 is needed" >&2; exit 1; }
  cmake -S . -B build >/dev/null
  cmake --build build -j2 --target qildnsc config_server upstream_responder >/dev/null
  exec env QIL_BENCH_NETNS=1 unshare -n "$0" "$@"
fi
ip link set lo up
top=$PWD
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
life=$(( secs * 2 + 60 ))
echo '{"cc":"US","dns_servers":[]}' > doc.json
"$top/build/tools/config_server" 127.0.0.1 5380 doc.json $life & pids+=($!)
"$top/build/bench/upstream_responder" 127.0.0.2 5399 $life & pids+=($!)

cat > drive.py <<'PY'
import socket, sys, time
port, secs, rate = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
open_ = []
start = time.monotonic()
n = 0
while time.monotonic() - start < secs:
    n += 1
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setblocking(False)
    q = n.to_bytes(2, 'big') + bytes.fromhex('01000001000000000000')
    q += b'\x06naming\x04test\x00\x00\x01\x00\x01'
    s.sendto(q, ('127.0.0.1', port))
    open_.append((time.monotonic(), s))
    while open_ and time.monotonic() - open_[0][0] > 0.2:
        open_.pop(0)[1].close()
    delay = start + n / rate - time.monotonic()
    if delay > 0:
        time.sleep(delay)
print(n)
PY

cpu() {  # PID: user + system clock ticks, every thread
  awk '{print $14 + $15}' /proc/"$1"/stat
}
run() {  # NAME, PORT, extra options
  local name=$1 port=$2
  shift 2
  mkdir "$port"
  env -C "$port" QILDNSC_CONFIG_SERVER=127.0.0.1:5380 "$top/build/bin/qildnsc/qildnsc" \
    -w -l 127.0.0.1 -p "$port" -d 127.0.0.2:5399 "$@" 2>/dev/null &
  local pid=$!
  pids+=($pid)
  for _ in $(seq 100); do grep -q "Listening on" "$port/qildnsc_stdout.txt" 2>/dev/null && break; sleep 0.1; done
  local before sent
  before=$(cpu $pid)
  sent=$(python3 drive.py "$port" "$secs" "$rate")
  ticks=$(( $(cpu $pid) - before ))
  kill $pid
  wait $pid 2>/dev/null || true
  printf "%-22s %8s queries %8s ms CPU\n" "$name" "$sent" $(( ticks * 1000 / $(getconf CLK_TCK) ))
}
echo "== $rate queries/s for $secs s, each from a new socket"
run "forwarding alone" 5301
plain=$ticks
run "naming (-u)" 5302 -u 5388
named=$ticks
awk -v a="$plain" -v b="$named" 'BEGIN { printf "naming costs %.2f times forwarding alone\n", (a > 0 ? b / a : 0) }'
