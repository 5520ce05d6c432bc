#!/usr/bin/env bash
# Soak: the forwarder under ten minutes of steady traffic with hostile
# traffic on the side (bench/soak_driver.cc: good questions, held answers,
# a blocklisted answer, junk on the listening and the upstream sockets,
# wrong-ID answers from the server's own address), a question over TCP
# once a second, and with TCP > 0 as many trickling and as many stalled TCP
# clients, reconnecting as they are closed. Every 10 s it prints the
# forwarder's RSS, open descriptors and log size; at the end the good
# questions that went unanswered. Loopback only; not part of CI.
#
# usage: bench/soak.sh [SECONDS [RATE [JUNK [TCP]]]]   (default 600 2000 500 0; SECONDS >= 20)
# SOAK_PORT (default 5394): the upstream's port (UDP and TCP); the forwarder listens on the
# next one, the configuration server on the one after.
# SOAK_LISTEN_JUNK=0: junk to the upstream sockets only.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-600} rate=${2:-2000} junk=${3:-500} tcp=${4:-0}

cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target qildnsc soak_driver config_server >/dev/null

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

up_port=${SOAK_PORT:-5394}
fw_port=$((up_port + 1)) cfg_port=$((up_port + 2))
echo '{"cc":"US","dns_servers":[]}' > "$work/qildnsc.json"
echo 192.0.2.66 > "$work/blocklist.txt"
./build/tools/config_server 127.0.0.1 $cfg_port "$work/qildnsc.json" 60 & pids+=($!)
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/$cfg_port) 2>/dev/null && break; sleep 0.1; done

(cd "$work" && QILDNSC_CONFIG_SERVER=127.0.0.1:$cfg_port exec "$OLDPWD/build/bin/qildnsc/qildnsc" \
  -w -l 127.0.0.1 -p $fw_port -d 127.0.0.2:$up_port -b blocklist.txt) & fwd=$!
pids+=($fwd)
for _ in $(seq 50); do grep -q 'Listening on' "$work/qildnsc_stdout.txt" 2>/dev/null && break; sleep 0.1; done
grep -q 'Listening on' "$work/qildnsc_stdout.txt" || { cat "$work/qildnsc_stdout.txt"; exit 1; }

# The forwarder's upstream sockets: its UDP ports other than the listening
# one. A socket that has not sent yet has no port: one question first.
printf '\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x04warm\x04soak\x07example\x00\x00\x01\x00\x01' \
  > /dev/udp/127.0.0.1/$fw_port
sleep 0.5
remote=$(ss -Hunap | grep "pid=$fwd," | awk '{print $4}' | sed 's/.*://' |
  grep -vx "$fw_port" | paste -sd, -)
[ -n "$remote" ] || { echo "no upstream socket found for pid $fwd"; exit 1; }

echo "== soak: ${secs}s, $rate questions/s, $junk junk datagrams/s per socket" \
  "(upstream sockets on ports $remote), $tcp trickling and $tcp stalled TCP clients;" \
  "$(nproc) cores, $(uname -r)"
./build/bench/soak_driver "$fwd" "$work/qildnsc_stdout.txt" $fw_port $up_port "$remote" \
  "$secs" "$rate" "$junk" "${SOAK_LISTEN_JUNK:-1}" "$tcp"
echo "== the log's most frequent lines"
sed -E 's/^.*GMT \[[0-9.]+\] dnsc //; s/[0-9]+/N/g' "$work/qildnsc_stdout.txt" |
  sort | uniq -c | sort -rn | head -8
