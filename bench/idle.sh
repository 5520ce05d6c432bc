#!/usr/bin/env bash
# What an idle forwarder costs: the context switches (voluntary and
# involuntary, of every thread, from /proc/PID/task/*/status) of qildnsc
# (-C 10000 -F 3) and of dnsmasq (cache on) over SECONDS with nothing to
# do, after one query each and past the -F deadline of that query. Each
# wake-up is a switch; 0 means the process slept the whole time. In a
# private network namespace (loopback only). Needs root (unshare -n).
#
# QIL_BENCH_BASELINE=<path of another qildnsc binary> adds it, run with the
# same options minus -C and -F (for a build that has neither).
#
# usage: bench/idle.sh [SECONDS]   (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-10}
if [ -z "${QIL_BENCH_NETNS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "bench/idle.sh: needs root (unshare -n)" >&2; exit 1; }
  ./scripts/deps bench
  cmake -S . -B build >/dev/null
  cmake --build build -j2 --target qildnsc config_server felt_upstream >/dev/null
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
life=$(( secs + 60 ))
echo '{"cc":"US","dns_servers":[]}' > doc.json
"$top/build/tools/config_server" 127.0.0.1 5380 doc.json $life & pids+=($!)
"$top/build/bench/felt_upstream" 127.0.0.2 5399 $life 20 & pids+=($!)
declare -A pid addr=([qildnsc]=127.0.0.11 [baseline]=127.0.0.12 [dnsmasq]=127.0.0.13)
peers=(qildnsc)
# env -C, not a subshell: $! must be the forwarder itself.
mkdir q
env -C q QILDNSC_CONFIG_SERVER=127.0.0.1:5380 "$top/build/bin/qildnsc/qildnsc" \
  -w -l ${addr[qildnsc]} -p 53 -d 127.0.0.2:5399 -C 10000 -F 3 2>/dev/null &
pid[qildnsc]=$!; pids+=($!)
if [ -n "${QIL_BENCH_BASELINE:-}" ]; then
  mkdir b
  env -C b QILDNSC_CONFIG_SERVER=127.0.0.1:5380 "$QIL_BENCH_BASELINE" \
    -w -l ${addr[baseline]} -p 53 -d 127.0.0.2:5399 2>/dev/null &
  pid[baseline]=$!; pids+=($!); peers+=(baseline)
fi
dnsmasq -k --conf-file=/dev/null --user=root --pid-file= --listen-address=${addr[dnsmasq]} \
  --bind-interfaces --port=53 --no-resolv --no-hosts --cache-size=10000 \
  --server=127.0.0.2#5399 2>/dev/null &
pid[dnsmasq]=$!; pids+=($!); peers+=(dnsmasq)
sleep 1
for p in "${peers[@]}"; do [ -d /proc/${pid[$p]} ] || { echo "bench/idle.sh: $p did not start" >&2; exit 1; }; done
for p in "${peers[@]}"; do dig @"${addr[$p]}" +tries=2 +time=2 s1.felt.test A >/dev/null; done
sleep 4  # past the -F deadline of that query

switches() {  # PID: voluntary + involuntary, every thread
  cat /proc/"$1"/task/*/status | awk '/ctxt_switches/ {s += $2} END {print s}'
}
declare -A before
for p in "${peers[@]}"; do before[$p]=$(switches "${pid[$p]}"); done
sleep "$secs"
echo "== idle for $secs s after one query each"
printf "%-10s %8s %18s\n" peer threads "context switches"
for p in "${peers[@]}"; do
  printf "%-10s %8s %18s\n" "$p" "$(ls /proc/${pid[$p]}/task | wc -l)" \
    $(( $(switches "${pid[$p]}") - before[$p] ))
done
