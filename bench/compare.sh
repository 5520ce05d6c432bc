#!/usr/bin/env bash
# The forwarding path measured against real peers, in one run: dnsperf
# against the upstream answered directly, through qildnsc, and through
# dnsdist and dnsmasq (cache off, plain forwarders to the same upstream)
# where they are installed. Everything runs in a private network namespace
# (loopback only); rounds alternate between the peers so that outside load
# falls on all alike.
#
# Table 1, answers relayed at once (two A records each):
#   q/s with 200 queries outstanding, its ratio to the direct path, the
#   forwarder's CPU per query (utime+stime of /proc/PID/stat over the run),
#   added latency p50/p99 at a fixed 1,000 queries/s, lost queries, and the
#   forwarder's peak RSS (VmHWM).
# Table 2, answers that qildnsc holds (one A record each) at 2,000 q/s:
#   answers lost, latency p50/p99.
#
# With two or more cores, dnsperf and the upstream share core 0 and the
# forwarder has core 1 to itself, all at nice -10 so that outside load
# disturbs them little. Needs root (for unshare -n).
#
# The peer "page" is qildnsc with its query page on (-u) and a browser's
# polling of it (the API once a second, as the page does): the cost of
# recording, against "qildnsc" without it.
#
# QIL_BENCH_ONE_CORE=1 puts everything on core 0 instead: the layout of a
# laptop where the forwarder shares a core with its client or server.
#
# QIL_BENCH_BASELINE=<path of another qildnsc binary> adds it as the peer
# "baseline", measured in the same rounds: a change against the build it
# started from.
#
# usage: bench/compare.sh [SECONDS [ROUNDS]]   (default 10 s, 3 rounds)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-10}
rounds=${2:-3}
lat_secs=$(( secs / 2 > 3 ? secs / 2 : 3 ))

if [ -z "${QIL_BENCH_NETNS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "bench/compare.sh: needs root (unshare -n)" >&2; exit 1; }
  # What the benchmark needs; the peers are optional.
  ./scripts/deps dnsperf dnsutils util-linux iproute2 procps cmake build-essential curl
  for peer in dnsdist dnsmasq-base; do
    ./scripts/deps "$peer" >/dev/null 2>&1 || echo "($peer could not be installed: skipped)"
  done
  cmake -S . -B build >/dev/null
  cmake --build build -j"$(nproc)" --target qildnsc upstream_responder config_server >/dev/null
  exec env QIL_BENCH_NETNS=1 unshare -n "$0" "$@"
fi

ip link set lo up
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Everything measured runs at a raised priority, so that other work on the
# machine takes as little as possible of the cores it is pinned to.
if [ -n "${QIL_BENCH_ONE_CORE:-}" ]; then
  near="nice -n -10 taskset -c 0" far="nice -n -10 taskset -c 0"
  pinning="one core: everything on core 0, at nice -10"
elif [ "$(nproc)" -ge 2 ]; then
  near="nice -n -10 taskset -c 0" far="nice -n -10 taskset -c 1"
  pinning="dnsperf and upstream on core 0, forwarder on core 1, all at nice -10"
else
  near="nice -n -10" far="nice -n -10" pinning="one core: no pinning; all at nice -10"
fi
life=$(( (secs + lat_secs + 5) * rounds * 2 + 120 ))
up_port=5391
cfg_port=5380
declare -A port=([direct]=$up_port [qildnsc]=5300 [dnsdist]=5301 [dnsmasq]=5302 [baseline]=5303
                 [page]=5304)
declare -A addr=([direct]=127.0.0.2 [qildnsc]=127.0.0.1 [dnsdist]=127.0.0.1 [dnsmasq]=127.0.0.1
                 [baseline]=127.0.0.1 [page]=127.0.0.1)
page_port=5381
declare -A pid rss

for i in $(seq 1000); do echo "host$i.example.com A"; done > "$work/queries"

ready() {  # ADDR PORT: answers within a few seconds
  for _ in $(seq 50); do
    dig @"$1" -p "$2" +tries=1 +time=1 ready.example.com A >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# Starts the peers that exist, forwarding to UPSTREAM (addr); records pids.
start_peers() {
  local up=$1
  peers=(direct)
  addr[direct]=$up
  (cd "$work" && QILDNSC_CONFIG_SERVER=127.0.0.1:$cfg_port exec $far \
    "$OLDPWD/build/bin/qildnsc/qildnsc" -w -l 127.0.0.1 -p ${port[qildnsc]} -d "$up:$up_port") &
  pid[qildnsc]=$!; pids+=($!)
  ready 127.0.0.1 ${port[qildnsc]} && peers+=(qildnsc) || echo "qildnsc did not start" >&2
  (root=$PWD && cd "$work" && mkdir -p page && cd page && rm -f qildnsc_page.txt &&
    QILDNSC_CONFIG_SERVER=127.0.0.1:$cfg_port exec $far \
    "$root/build/bin/qildnsc/qildnsc" -w -l 127.0.0.1 -p ${port[page]} -d "$up:$up_port" \
    -u $page_port) &
  pid[page]=$!; pids+=($!)
  if ready 127.0.0.1 ${port[page]} && [ -s "$work/page/qildnsc_page.txt" ]; then
    peers+=(page)
    # The open page: what its script asks, once a second.
    (url=$(head -n 1 "$work/page/qildnsc_page.txt"); tok=${url#*token=}
     while kill -0 "${pid[page]}" 2>/dev/null; do
       curl -s "http://127.0.0.1:$page_port/api/queries?since=0&token=$tok" >/dev/null
       curl -s "http://127.0.0.1:$page_port/api/stats?token=$tok" >/dev/null
       sleep 1
     done) &
    pid[poller]=$!; pids+=($!)
  else
    echo "qildnsc with its page did not start" >&2
  fi
  if [ -n "${QIL_BENCH_BASELINE:-}" ]; then
    (cd "$work" && mkdir -p baseline && cd baseline &&
      QILDNSC_CONFIG_SERVER=127.0.0.1:$cfg_port exec $far \
      "$QIL_BENCH_BASELINE" -w -l 127.0.0.1 -p ${port[baseline]} -d "$up:$up_port") &
    pid[baseline]=$!; pids+=($!)
    ready 127.0.0.1 ${port[baseline]} && peers+=(baseline) || echo "the baseline did not start" >&2
  fi
  if command -v dnsdist >/dev/null; then
    cat > "$work/dnsdist.conf" <<EOF
setLocal("127.0.0.1:${port[dnsdist]}")
newServer({address="$up:$up_port"})
setSecurityPollSuffix("")
EOF
    $far dnsdist --supervised --disable-syslog -C "$work/dnsdist.conf" >"$work/dnsdist.log" 2>&1 &
    pid[dnsdist]=$!; pids+=($!)
    ready 127.0.0.1 ${port[dnsdist]} && peers+=(dnsdist) || echo "dnsdist did not start" >&2
  fi
  if command -v dnsmasq >/dev/null; then
    $far dnsmasq -k --conf-file=/dev/null --user=root --pid-file="$work/dnsmasq.pid" \
      --listen-address=127.0.0.1 --bind-interfaces --port=${port[dnsmasq]} \
      --no-resolv --no-hosts --cache-size=0 --dns-forward-max=1000 \
      --server="$up#$up_port" >"$work/dnsmasq.log" 2>&1 &
    pid[dnsmasq]=$!; pids+=($!)
    ready 127.0.0.1 ${port[dnsmasq]} && peers+=(dnsmasq) || echo "dnsmasq did not start" >&2
  fi
}

stop_peers() {
  for p in qildnsc page poller baseline dnsdist dnsmasq; do
    [ -n "${pid[$p]:-}" ] || continue
    rss[$p]=$(awk '/VmHWM/ {print $2}' /proc/${pid[$p]}/status 2>/dev/null || echo "?")
    kill "${pid[$p]}" 2>/dev/null || true
    wait "${pid[$p]}" 2>/dev/null || true
    pid[$p]=""
  done
}

cpu_ticks() {  # PID: utime + stime
  awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0
}

# dnsperf against PEER with extra options; appends "completed lost seconds
# cpu_ticks" to $work/PEER.TAG and the per-query latencies to
# $work/PEER.TAG.lat when verbose.
measure() {
  local peer=$1 tag=$2; shift 2
  local c0=0 c1=0 out="$work/out"
  [ "$peer" = direct ] || c0=$(cpu_ticks "${pid[$peer]}")
  $near dnsperf -s "${addr[$peer]}" -p "${port[$peer]}" -d "$work/queries" "$@" >"$out" 2>&1 || true
  [ "$peer" = direct ] || c1=$(cpu_ticks "${pid[$peer]}")
  awk -v c=$((c1 - c0)) '
    /Queries completed:/ {done = $3}
    /Queries lost:/ {lost = $3}
    /Run time \(s\):/ {t = $4}
    END {print done + 0, lost + 0, t + 0, c}' "$out" >> "$work/$peer.$tag"
  grep '^> ' "$out" | awk '{print $NF}' >> "$work/$peer.$tag.lat" || true
}

percentile() {  # FILE P: the P-th percentile in microseconds
  sort -g "$1" | awk -v p="$2" '{v[NR] = $1} END {
    if (NR == 0) { print "nan"; exit }
    i = int(NR * p / 100 + 0.999999); if (i < 1) i = 1; if (i > NR) i = NR
    printf "%.0f", v[i] * 1e6 }'
}

tick=$(getconf CLK_TCK)
echo '{"cc":"US","dns_servers":[]}' > "$work/qildnsc.json"
./build/tools/config_server 127.0.0.1 $cfg_port "$work/qildnsc.json" $life & pids+=($!)

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), Linux $(uname -r)"
echo "== load at start: $(cut -d' ' -f1-3 /proc/loadavg); $pinning"
echo "== $rounds rounds, alternating; throughput runs $secs s (dnsperf -q 200), latency runs $lat_secs s at 1000 q/s"

# ---- table 1: relayed answers ----
$near ./build/bench/upstream_responder 127.0.0.2 $up_port $life 2 & pids+=($!)
ready 127.0.0.2 $up_port || { echo "upstream did not start" >&2; exit 1; }
start_peers 127.0.0.2
for r in $(seq "$rounds"); do
  for p in "${peers[@]}"; do measure "$p" tput -l "$secs" -q 200; done
  for p in "${peers[@]}"; do measure "$p" lat -l "$lat_secs" -Q 1000 -q 200 -v; done
done
stop_peers

direct_qps=$(awk '{print $1 / $3}' "$work/direct.tput" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}')
d50=$(percentile "$work/direct.lat.lat" 50)
d99=$(percentile "$work/direct.lat.lat" 99)
echo
echo "Relayed answers (two A records): median of $rounds rounds"
printf "%-8s %9s %6s %9s %9s %9s %6s %9s\n" peer "q/s" ratio "CPU us/q" "+p50 us" "+p99 us" lost "RSS KiB"
for p in "${peers[@]}"; do
  qps=$(awk '{print $1 / $3}' "$work/$p.tput" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}')
  cpu=$(awk -v t="$tick" '{print $4 * 1e6 / t / $1}' "$work/$p.tput" | sort -g |
        awk '{v[NR]=$1} END {printf "%.1f", v[int((NR+1)/2)]}')
  lost=$(awk '{s += $2} END {print s + 0}' "$work/$p.tput" "$work/$p.lat")
  p50=$(percentile "$work/$p.lat.lat" 50)
  p99=$(percentile "$work/$p.lat.lat" 99)
  if [ "$p" = direct ]; then
    printf "%-8s %9.0f %6s %9s %9s %9s %6s %9s\n" "$p" "$qps" "1.00" - "($p50)" "($p99)" "$lost" -
  else
    printf "%-8s %9.0f %6.2f %9s %9d %9d %6s %9s\n" "$p" "$qps" "$(awk -v a="$qps" -v b="$direct_qps" 'BEGIN {print a / b}')" \
      "$cpu" $((p50 - d50)) $((p99 - d99)) "$lost" "${rss[$p]}"
  fi
done
echo "(direct: absolute p50/p99 in us; the others: added to them)"
if [ -f "$work/page.tput" ]; then
  awk -v t="$tick" '{print $4 * 1e6 / t / $1}' "$work/qildnsc.tput" | sort -g > "$work/a"
  awk -v t="$tick" '{print $4 * 1e6 / t / $1}' "$work/page.tput" | sort -g > "$work/b"
  a=$(awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}' "$work/a")
  b=$(awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}' "$work/b")
  awk -v a="$a" -v b="$b" 'BEGIN {printf "query page (-u, polled once a second, ring full): CPU per query %+.1f %% against qildnsc without it\n", (b / a - 1) * 100}'
fi

# ---- table 2: held answers ----
$near ./build/bench/upstream_responder 127.0.0.3 $up_port $life 1 & pids+=($!)
ready 127.0.0.3 $up_port || true
start_peers 127.0.0.3
for r in $(seq "$rounds"); do
  for p in "${peers[@]}"; do measure "$p" held -l "$lat_secs" -Q 2000 -q 2000 -v; done
done
stop_peers
echo
echo "Held answers (one A record) at 2000 q/s: $rounds rounds of $lat_secs s"
printf "%-8s %9s %9s %9s %9s %9s\n" peer sent answered lost "p50 us" "p99 us"
for p in "${peers[@]}"; do
  awk -v p="$p" -v p50="$(percentile "$work/$p.held.lat" 50)" -v p99="$(percentile "$work/$p.held.lat" 99)" \
    '{d += $1; l += $2} END {printf "%-8s %9d %9d %9d %9s %9s\n", p, d + l, d, l, p50, p99}' "$work/$p.held"
done
echo "== load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
