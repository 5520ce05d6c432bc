#!/usr/bin/env bash
# Queries per second and latency through the forwarder, next to the same
# upstream answered directly, and through the forwarder and qildnsc-upstream
# (the encrypted path) in front of it. Loopback only; everything started here stops
# by itself or at the end of the script.
#
# usage: bench/dnsperf.sh [SECONDS]   (default 10 per run)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-10}

command -v dnsperf >/dev/null || { echo "dnsperf is needed (apt-get install dnsperf)"; exit 1; }
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target qildnsc qildnsc-upstream upstream_responder config_server >/dev/null

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

up_port=5391 fw_port=5392 cfg_port=5393 enc_port=5394 fwe_port=5395
./build/bench/upstream_responder 127.0.0.2 $up_port $((secs * 3 + 30)) & pids+=($!)

echo '{"cc":"US","dns_servers":[]}' > "$work/qildnsc.json"
./build/tools/config_server 127.0.0.1 $cfg_port "$work/qildnsc.json" $((secs * 3 + 30)) & pids+=($!)
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/$cfg_port) 2>/dev/null && break; sleep 0.1; done

(cd "$work" && QILDNSC_CONFIG_SERVER=127.0.0.1:$cfg_port exec "$OLDPWD/build/bin/qildnsc/qildnsc" \
  -w -l 127.0.0.1 -p $fw_port -d 127.0.0.2:$up_port) & pids+=($!)
for _ in $(seq 50); do grep -q 'Listening on' "$work/qildnsc_stdout.txt" 2>/dev/null && break; sleep 0.1; done

# The encrypted path: a second forwarder whose one server is qildnsc-upstream.
./build/bin/qildnsc-upstream/qildnsc-upstream -l 127.0.0.1 -p $enc_port \
  -r 127.0.0.2:$up_port > "$work/upstream.log" & pids+=($!)
mkdir "$work/enc"
(cd "$work/enc" && QILDNSC_CONFIG_SERVER=127.0.0.1:$cfg_port exec "$OLDPWD/build/bin/qildnsc/qildnsc" \
  -w -l 127.0.0.1 -p $fwe_port -d E127.0.0.1:$enc_port) & pids+=($!)
for _ in $(seq 50); do grep -q 'Listening on' "$work/enc/qildnsc_stdout.txt" 2>/dev/null && break; sleep 0.1; done

for i in $(seq 1000); do echo "host$i.example.com A"; done > "$work/queries"

run() {
  echo "== $1"
  dnsperf -s "$2" -p "$3" -d "$work/queries" -l "$secs" -c 4 -Q 1000000 2>&1 |
    grep -E 'Queries (sent|completed|lost)|Queries per second|Average Latency'
}
run "upstream answered directly" 127.0.0.2 $up_port
run "through qildnsc" 127.0.0.1 $fw_port
run "through qildnsc and qildnsc-upstream (encrypted)" 127.0.0.1 $fwe_port
