#!/usr/bin/env bash
# What a person at a desktop feels: lookups as the C library makes them
# (getaddrinfo with AF_UNSPEC: A and AAAA together), timed one by one, in
# one run through each peer in turn: qildnsc without the cache, qildnsc
# with it (-C), dnsmasq with its cache and unbound forwarding with its
# cache, all forwarding to one upstream that answers after 20 ms (a
# server across a network).
#
# The trace: LOOKUPS names drawn with a Zipf distribution (s = 1) from
# NAMES names of mixed shapes (one A, three A, CNAME then A, NXDOMAIN; no
# name has an AAAA record), the same trace for every peer. First lookups of
# a name and repeats are reported apart: median and p90 in ms, and the
# lookups that took 0.3 s or more.
#
# Then the prefetch case, all peers at once: one name with a single A
# record of TTL 60, looked up every 10 s for PREFETCH_SECONDS.
#
# Then the IPv4-only case: 20 names with one A record (TTL 3600) whose AAAA
# the upstream answers empty without SOA, as home routers do, each looked
# up three times. And the resume case: 30 names looked up, every peer
# restarted as at resume (qildnsc reads back the cache it kept; dnsmasq
# and unbound keep none and start cold), the same 30 looked up again.
#
# Everything runs in a network namespace of its own (loopback only), whose
# resolv.conf (/etc/netns/qilfelt/resolv.conf, bind-mounted by
# `ip netns exec`) names the peer under test. Needs root.
#
# usage: bench/felt.sh [LOOKUPS [NAMES [PREFETCH_SECONDS]]]   (400, 200, 130)
#        (0 lookups: the prefetch case alone; 0 seconds: without it)
set -euo pipefail
cd "$(dirname "$0")/.."
lookups=${1:-400}
names=${2:-200}
prefetch_secs=${3:-130}
ns=qilfelt
delay_ms=20

[ "$(id -u)" -eq 0 ] || { echo "bench/felt.sh: needs root (ip netns)" >&2; exit 1; }
./scripts/deps bench
cmake -S . -B build >/dev/null
cmake --build build -j2 --target qildnsc config_server felt_upstream felt_driver >/dev/null

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del $ns 2>/dev/null || true
  rm -rf "/etc/netns/$ns" "$work"
}
trap cleanup EXIT
ip netns del $ns 2>/dev/null || true
ip netns add $ns
mkdir -p "/etc/netns/$ns"
in_ns() { ip netns exec $ns "$@"; }
in_ns ip link set lo up

life=$(( lookups * 2 + prefetch_secs + 600 ))
declare -A addr=([qildnsc]=127.0.0.11 [qildnsc-C]=127.0.0.12 [dnsmasq]=127.0.0.13
                 [unbound]=127.0.0.14)
peers=(qildnsc qildnsc-C dnsmasq unbound)
up=127.0.0.2
up_port=5399

ready() {  # ADDR: answers within a few seconds
  for _ in $(seq 50); do
    in_ns dig @"$1" +tries=1 +time=1 ready.felt.test A >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "bench/felt.sh: nothing answers on $1" >&2
  return 1
}

ip netns exec $ns ./build/bench/felt_upstream $up $up_port $life $delay_ms & pids+=($!)
echo '{"cc":"US","dns_servers":[]}' > "$work/qildnsc.json"
ip netns exec $ns ./build/tools/config_server 127.0.0.1 5380 "$work/qildnsc.json" $life & pids+=($!)

declare -A pid_of
start_qildnsc() {  # PEER OPTIONS...
  local peer=$1; shift
  mkdir -p "$work/$peer"
  # env -C, not a subshell: $! must be the forwarder itself.
  env -C "$work/$peer" QILDNSC_CONFIG_SERVER=127.0.0.1:5380 ip netns exec $ns \
    "$PWD/build/bin/qildnsc/qildnsc" -w -l "${addr[$peer]}" -p 53 -d "$up:$up_port" "$@" &
  pids+=($!)
  pid_of[$peer]=$!
}
start_dnsmasq() {
  ip netns exec $ns dnsmasq -k --conf-file=/dev/null --user=root --pid-file="$work/dnsmasq.pid" \
    --listen-address=${addr[dnsmasq]} --bind-interfaces --port=53 --no-resolv --no-hosts \
    --cache-size=10000 --server="$up#$up_port" >>"$work/dnsmasq.log" 2>&1 & pids+=($!)
  pid_of[dnsmasq]=$!
}
start_unbound() {
  ip netns exec $ns unbound -d -c "$work/unbound.conf" >>"$work/unbound.log" 2>&1 & pids+=($!)
  pid_of[unbound]=$!
}
start_peer() {  # PEER
  case $1 in
    qildnsc) start_qildnsc qildnsc ;;
    qildnsc-C) start_qildnsc qildnsc-C -C 10000 -F 3 ;;
    dnsmasq) start_dnsmasq ;;
    unbound) start_unbound ;;
  esac
}
start_qildnsc qildnsc
start_qildnsc qildnsc-C -C 10000 -F 3
start_dnsmasq
cat > "$work/unbound.conf" <<EOF
server:
  interface: ${addr[unbound]}
  port: 53
  do-daemonize: no
  username: ""
  chroot: ""
  directory: "$work"
  pidfile: ""
  use-syslog: no
  do-ip6: no
  do-not-query-localhost: no
  module-config: "iterator"
  access-control: 127.0.0.0/8 allow
  # "test." is one of its built-in local zones (RFC 6761): ours is served upstream.
  local-zone: "test." nodefault
forward-zone:
  name: "."
  forward-addr: $up@$up_port
  forward-addr: $up@$up_port
EOF
start_unbound
for p in "${peers[@]}"; do ready "${addr[$p]}"; done

python3 - "$lookups" "$names" > "$work/trace" <<'EOF'
import random, sys
lookups, names = int(sys.argv[1]), int(sys.argv[2])
shapes = "smcns"  # one A twice as often as the others
pool = ["%s%d.felt.test" % (shapes[k % len(shapes)], k) for k in range(1, names + 1)]
rng = random.Random(23)
weights = [1.0 / k for k in range(1, names + 1)]
for name in rng.choices(pool, weights, k=lookups):
    print(name)
EOF

header() {  # the columns of felt_driver's lines
  printf "%-12s %8s   %5s %8s %8s   %6s %8s %8s %8s   %6s %6s\n" peer "p50 ms" first "p50 ms" \
    "p90 ms" repeat "p50 ms" "p90 ms" "max ms" ">=0.3s" failed
}

resolver() {  # PEER: the namespace's resolv.conf names it
  # A new file each time: a driver already running keeps the one that
  # `ip netns exec` bind-mounted for it.
  printf 'nameserver %s\noptions attempts:2 timeout:5\n' "${addr[$1]}" > "$work/resolv.conf"
  mv "$work/resolv.conf" "/etc/netns/$ns/resolv.conf"
}

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), Linux $(uname -r)"
echo "== $lookups lookups (getaddrinfo AF_UNSPEC) of $names names, Zipf s=1; upstream answers after $delay_ms ms"
echo "== $(sort -u "$work/trace" | wc -l) distinct names in the trace; $(dnsmasq --version | head -1 | cut -d' ' -f1-3); unbound $(unbound -V | head -1 | cut -d' ' -f2)"
echo
if [ "$lookups" -gt 0 ]; then
  header
  for p in "${peers[@]}"; do
    resolver "$p"
    in_ns ./build/bench/felt_driver "$p" "$work/trace"
  done
fi

if [ "$prefetch_secs" -gt 0 ]; then
  echo
  echo "Prefetch: w1.felt.test (one A, TTL 60) every 10 s for $prefetch_secs s, all peers at once"
  n=$(( prefetch_secs / 10 + 1 ))
  drivers=()
  for p in "${peers[@]}"; do
    yes "w1.felt.test" | head -n $n > "$work/trace.$p" || true
    # Each driver reads the resolv.conf of its own start: the bind mount
    # is made when it starts.
    resolver "$p"
    ip netns exec $ns ./build/bench/felt_driver "$p" "$work/trace.$p" 10 > "$work/prefetch.$p" &
    drivers+=($!)
    sleep 0.5
  done
  wait "${drivers[@]}"
  printf "%-12s %s\n" peer "each lookup in ms, 10 s apart (the first is the name's first)"
  for p in "${peers[@]}"; do
    printf "%-12s %s\n" "$p" "$(awk '/ lookup / {printf "%s ", $(NF-1)}' "$work/prefetch.$p")"
  done
fi

if [ "$lookups" -gt 0 ]; then
  echo
  echo "IPv4-only: 20 names (one A, TTL 3600; AAAA empty without SOA), each looked up 3 times"
  for r in 1 2 3; do seq 1 20 | sed 's/^/v/; s/$/.felt.test/'; done > "$work/trace.v4"
  header
  for p in "${peers[@]}"; do
    resolver "$p"
    in_ns ./build/bench/felt_driver "$p" "$work/trace.v4"
  done

  echo
  echo "Resume: 30 names looked up, every peer ended (SIGTERM) and started again, the same 30"
  echo "looked up again (dnsmasq and unbound keep no cache across a restart: they start cold)"
  { seq 101 115 | sed 's/^/s/; s/$/.felt.test/'; seq 101 115 | sed 's/^/v/; s/$/.felt.test/'; } \
    > "$work/trace.resume"
  for p in "${peers[@]}"; do
    resolver "$p"
    in_ns ./build/bench/felt_driver "$p" "$work/trace.resume" > /dev/null
  done
  for p in "${peers[@]}"; do
    kill -TERM "${pid_of[$p]}"
    wait "${pid_of[$p]}" 2>/dev/null || true
    start_peer "$p"
  done
  for p in "${peers[@]}"; do ready "${addr[$p]}"; done
  header
  for p in "${peers[@]}"; do
    resolver "$p"
    in_ns ./build/bench/felt_driver "$p" "$work/trace.resume"
  done
fi
