#!/usr/bin/env bash
# DNS over TLS upstreams measured against real peers, in one run: dnsperf
# against unbound answered directly over UDP, through qildnsc with unbound
# as its one DNS over TLS server, and through dnsdist, a second unbound
# (forwarding, with nothing kept in its cache) and stubby with the same
# unbound as their DNS over TLS upstream (certificates checked by all,
# against a test CA made here). Everything runs in a private network
# namespace (loopback only); rounds alternate between the peers so that
# outside load falls on all alike.
#
# The table: q/s with 200 queries outstanding and its ratio to dnsdist's,
# the forwarder's CPU per query (utime+stime of /proc/PID/stat over the
# run, every thread) in those runs and in runs at a fixed 500 queries/s,
# and the latency p50/p99 added to the direct path's at a fixed 1,000
# queries/s. Every answer has two A records.
#
# With two or more cores, dnsperf and the upstream unbound share core 0
# and the forwarders have core 1, all at nice -10. Needs root (unshare -n).
#
# QIL_BENCH_BASELINE=<path of another qildnsc binary> adds it as the peer
# "baseline", measured in the same rounds: a change against the build it
# started from.
#
# usage: bench/dot_compare.sh [SECONDS [ROUNDS]]   (default 10 s, 3 rounds)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-10}
rounds=${2:-3}
lat_secs=$(( secs / 2 > 3 ? secs / 2 : 3 ))

if [ -z "${QIL_BENCH_NETNS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "bench/dot_compare.sh: needs root (unshare -n)" >&2; exit 1; }
  ./scripts/deps dnsperf:dnsperf dnsutils:dig util-linux:unshare unbound:unbound dnsdist:dnsdist \
    stubby:stubby openssl:openssl
  cmake -S . -B build >/dev/null
  cmake --build build -j"$(nproc)" --target qildnsc config_server >/dev/null
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
trap "exit 1" INT TERM

if [ "$(nproc)" -ge 2 ]; then
  near="nice -n -10 taskset -c 0" far="nice -n -10 taskset -c 1"
  pinning="dnsperf and the upstream unbound on core 0, the forwarders on core 1, all at nice -10"
else
  near="nice -n -10" far="nice -n -10" pinning="one core: no pinning; all at nice -10"
fi
life=$(( (2 * secs + lat_secs + 5) * rounds * 6 + 120 ))
cfg_port=5380
declare -A port=([direct]=5391 [qildnsc]=5300 [dnsdist]=5301 [unbound]=5302 [stubby]=5303
  [baseline]=5304)
declare -A addr=([direct]=127.0.0.2 [qildnsc]=127.0.0.1 [dnsdist]=127.0.0.1 [unbound]=127.0.0.1
  [stubby]=127.0.0.1 [baseline]=127.0.0.1)
declare -A pid

key="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
(cd "$work" &&
  openssl req -x509 $key -keyout ca.key -out ca.pem -days 2 -subj "/CN=bench CA" &&
  printf 'subjectAltName=DNS:dot.test\n' > ext &&
  openssl req $key -keyout srv.key -out srv.csr -subj "/CN=dot.test" &&
  openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out srv.pem \
    -days 2 -extfile ext) >/dev/null 2>&1

for i in $(seq 1000); do echo "host$i.example.com A"; done > "$work/queries"

ready() {  # ADDR PORT: answers within ten seconds, however loaded the machine
  for _ in $(seq 100); do
    dig @"$1" -p "$2" +tries=1 +time=1 ready.example.com A >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

cat > "$work/unbound.conf" <<EOF
server:
  interface: 127.0.0.2@8853
  interface: 127.0.0.2@${port[direct]}
  tls-port: 8853
  tls-service-key: "$work/srv.key"
  tls-service-pem: "$work/srv.pem"
  do-daemonize: no
  username: ""
  chroot: ""
  directory: "$work"
  use-syslog: no
  pidfile: ""
  num-threads: 1
  incoming-num-tcp: 100
  module-config: "iterator"
  local-zone: "example.com." redirect
  local-data: "example.com. 60 IN A 192.0.2.1"
  local-data: "example.com. 60 IN A 192.0.2.2"
EOF
$near unbound -d -c "$work/unbound.conf" >"$work/unbound.log" 2>&1 & pids+=($!)
ready 127.0.0.2 ${port[direct]} || { echo "unbound did not start" >&2; exit 1; }

echo '{"cc":"US","dns_servers":[]}' > "$work/qildnsc.json"
./build/tools/config_server 127.0.0.1 $cfg_port "$work/qildnsc.json" $life & pids+=($!)
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$cfg_port) 2>/dev/null && break; sleep 0.1; done
(cd "$work" && QILDNSC_CONFIG_SERVER=127.0.0.1:$cfg_port exec $far \
  "$OLDPWD/build/bin/qildnsc/qildnsc" -w -l 127.0.0.1 -p ${port[qildnsc]} \
  -d tls://127.0.0.2:8853#dot.test -T "$work/ca.pem") &
pid[qildnsc]=$!; pids+=($!)
peers=(direct)
ready 127.0.0.1 ${port[qildnsc]} && peers+=(qildnsc) || echo "qildnsc did not start" >&2
if [ -n "${QIL_BENCH_BASELINE:-}" ]; then
  (mkdir -p "$work/baseline" && cd "$work/baseline" &&
    QILDNSC_CONFIG_SERVER=127.0.0.1:$cfg_port exec $far "$QIL_BENCH_BASELINE" -w -l 127.0.0.1 \
      -p ${port[baseline]} -d tls://127.0.0.2:8853#dot.test -T "$work/ca.pem") &
  pid[baseline]=$!; pids+=($!)
  ready 127.0.0.1 ${port[baseline]} && peers+=(baseline) || echo "the baseline did not start" >&2
fi
cat > "$work/dnsdist.conf" <<EOF
setSecurityPollSuffix("")
setLocal("127.0.0.1:${port[dnsdist]}")
newServer({address="127.0.0.2:8853", tls="openssl", subjectName="dot.test",
           caStore="$work/ca.pem", validateCertificates=true, checkName="www.example.com."})
EOF
$far dnsdist --supervised --disable-syslog -C "$work/dnsdist.conf" >"$work/dnsdist.log" 2>&1 &
pid[dnsdist]=$!; pids+=($!)
ready 127.0.0.1 ${port[dnsdist]} && peers+=(dnsdist) || echo "dnsdist did not start" >&2
# unbound as a DNS over TLS forwarder: what it keeps expires at once, so
# that every query goes to the upstream, as through the others.
cat > "$work/unbound-fwd.conf" <<EOF
server:
  interface: 127.0.0.1@${port[unbound]}
  do-daemonize: no
  username: ""
  chroot: ""
  directory: "$work"
  use-syslog: no
  pidfile: ""
  num-threads: 1
  module-config: "iterator"
  do-not-query-localhost: no
  cache-max-ttl: 0
  cache-max-negative-ttl: 0
  tls-cert-bundle: "$work/ca.pem"
forward-zone:
  name: "."
  forward-tls-upstream: yes
  forward-addr: 127.0.0.2@8853#dot.test
EOF
$far unbound -d -c "$work/unbound-fwd.conf" >"$work/unbound-fwd.log" 2>&1 &
pid[unbound]=$!; pids+=($!)
ready 127.0.0.1 ${port[unbound]} && peers+=(unbound) || echo "unbound (forwarding) did not start" >&2
cat > "$work/stubby.yml" <<EOF
resolution_type: GETDNS_RESOLUTION_STUB
dns_transport_list: [GETDNS_TRANSPORT_TLS]
tls_authentication: GETDNS_AUTHENTICATION_REQUIRED
tls_query_padding_blocksize: 128
tls_ca_file: "$work/ca.pem"
idle_timeout: 10000
listen_addresses: [127.0.0.1@${port[stubby]}]
appdata_dir: "$work"
upstream_recursive_servers:
  - address_data: 127.0.0.2
    tls_port: 8853
    tls_auth_name: "dot.test"
EOF
$far stubby -C "$work/stubby.yml" >"$work/stubby.log" 2>&1 &
pid[stubby]=$!; pids+=($!)
ready 127.0.0.1 ${port[stubby]} && peers+=(stubby) || echo "stubby did not start" >&2

cpu_ticks() {  # PID: utime + stime of every thread
  awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0
}

measure() {  # PEER TAG dnsperf-options...
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
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

tick=$(getconf CLK_TCK)
echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), Linux $(uname -r)"
echo "== load at start: $(cut -d' ' -f1-3 /proc/loadavg); $pinning"
echo "== $rounds rounds, alternating; throughput runs $secs s (dnsperf -q 200), runs of $secs s at 500 q/s, latency runs $lat_secs s at 1000 q/s"
for r in $(seq "$rounds"); do
  for p in "${peers[@]}"; do measure "$p" tput -l "$secs" -q 200; done
  for p in "${peers[@]}"; do measure "$p" r500 -l "$secs" -Q 500 -q 200; done
  for p in "${peers[@]}"; do measure "$p" lat -l "$lat_secs" -Q 1000 -q 200 -v; done
done

d50=$(percentile "$work/direct.lat.lat" 50)
d99=$(percentile "$work/direct.lat.lat" 99)
declare -A qps
for p in "${peers[@]}"; do qps[$p]=$(awk '{print $1 / $3}' "$work/$p.tput" | median); done
ref=${qps[dnsdist]:-${qps[direct]}}
echo
echo "DNS over TLS upstream (unbound), answers of two A records: median of $rounds rounds"
printf "%-8s %9s %12s %9s %11s %9s %9s %6s\n" peer "q/s" "vs dnsdist" "CPU us/q" "at 500 q/s" \
  "+p50 us" "+p99 us" lost
for p in "${peers[@]}"; do
  lost=$(awk '{s += $2} END {print s + 0}' "$work/$p.tput" "$work/$p.r500" "$work/$p.lat")
  p50=$(percentile "$work/$p.lat.lat" 50)
  p99=$(percentile "$work/$p.lat.lat" 99)
  if [ "$p" = direct ]; then
    printf "%-8s %9.0f %12s %9s %11s %9s %9s %6s\n" "$p (UDP)" "${qps[$p]}" - - - "($p50)" "($p99)" \
      "$lost"
  else
    cpu=$(awk -v t="$tick" '{print $4 * 1e6 / t / $1}' "$work/$p.tput" | median)
    cpu500=$(awk -v t="$tick" '{print $4 * 1e6 / t / $1}' "$work/$p.r500" | median)
    printf "%-8s %9.0f %12.2f %9.1f %11.1f %9d %9d %6s\n" "$p" "${qps[$p]}" \
      "$(awk -v a="${qps[$p]}" -v b="$ref" 'BEGIN {print a / b}')" "$cpu" "$cpu500" \
      $((p50 - d50)) $((p99 - d99)) "$lost"
  fi
done
echo "(direct: unbound over UDP, absolute p50/p99 in us; the others: added to them)"
echo "== load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
