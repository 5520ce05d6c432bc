#!/usr/bin/env bash
# ISC's EDNS compliance tester (genreport) through the cache: its full set
# of tests (-t -f -c: types, flags, EDNS versions and options, cookies, TCP,
# a signed query), one after another, against a local server directly,
# then through qildnsc -C twice (the second pass all from a warm cache),
# and the tests whose results differ from the direct ones.
#
# The server is unbound, authoritative for bench.test with an NSID, on
# 127.0.0.2; qildnsc (-C 1000) listens on 127.0.0.1 in front of it.
# Everything runs in a private network namespace (loopback only). Needs
# root (unshare -n).
#
# genreport's source is not ours and is never kept: it is built in a
# temporary folder from GENREPORT_SRC (a folder or a git repository that
# holds genreport.c), else cloned from GENREPORT_GIT (default: ISC's own
# repository). Exit status 0 when every test but "signed" (the signed
# query: the forwarder gives every query an ID of its own, which its
# signature covers) reads the same through the forwarder as directly.
#
# usage: bench/genreport.sh
set -euo pipefail
cd "$(dirname "$0")/.."
git_url=${GENREPORT_GIT:-https://gitlab.isc.org/isc-projects/DNS-Compliance-Testing.git}

if [ -z "${QIL_BENCH_NETNS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "bench/genreport.sh: needs root (unshare -n)" >&2; exit 1; }
  ./scripts/deps build-essential:cc libssl-dev git:git unbound:unbound bind9-dnsutils:dig \
    iproute2:ip util-linux:unshare
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

# The tester, built where nothing of it stays.
mkdir "$work/genreport"
src=${GENREPORT_SRC:-}
if [ -n "$src" ] && [ -f "$src/genreport.c" ]; then
  cp "$src/genreport.c" "$work/genreport/"
elif [ -n "$src" ] && git --git-dir="$src" rev-parse -q --verify HEAD >/dev/null 2>&1; then
  git --git-dir="$src" archive HEAD genreport.c | tar -x -C "$work/genreport"
elif ! git clone -q --depth 1 "$git_url" "$work/genreport/repo" 2>"$work/clone.err"; then
  echo "bench/genreport.sh: genreport's source could not be had from $git_url:" >&2
  cat "$work/clone.err" >&2
  echo "Give GENREPORT_SRC=<folder or git repository with genreport.c>." >&2
  exit 1
else
  cp "$work/genreport/repo/genreport.c" "$work/genreport/"
fi
# Its configure only finds what glibc has anyway: an empty config.h does.
: > "$work/genreport/config.h"
cc -O1 -w -I"$work/genreport" -o "$work/genreport/genreport" "$work/genreport/genreport.c" \
  -lresolv -lcrypto

up_port=5391 fwd_port=5300 cfg_port=5380
cat > "$work/bench.test.zone" <<'EOF'
$ORIGIN bench.test.
$TTL 300
@    IN SOA ns.bench.test. hostmaster.bench.test. 1 3600 600 86400 300
@    IN NS  ns.bench.test.
ns   IN A   127.0.0.2
www  IN A   192.0.2.1
www  IN A   192.0.2.2
EOF
cat > "$work/unbound.conf" <<EOF
server:
  interface: 127.0.0.2@$up_port
  do-daemonize: no
  username: ""
  chroot: ""
  directory: "$work"
  pidfile: ""
  use-syslog: no
  logfile: "$work/unbound.log"
  do-ip6: no
  access-control: 127.0.0.0/8 allow
  nsid: "ascii_bench"
  module-config: "iterator"
  local-zone: "test." nodefault
auth-zone:
  name: "bench.test."
  zonefile: "$work/bench.test.zone"
  for-downstream: yes
  for-upstream: yes
remote-control:
  control-enable: no
EOF

ready() {  # ADDR PORT: answers within a few seconds
  for _ in $(seq 50); do
    dig @"$1" -p "$2" +tries=1 +time=1 bench.test SOA >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

unbound -c "$work/unbound.conf" & pids+=($!)
ready 127.0.0.2 $up_port || { echo "unbound did not start" >&2; cat "$work/unbound.log" >&2; exit 1; }
echo '{"cc":"US","dns_servers":[]}' > "$work/qildnsc.json"
./build/tools/config_server 127.0.0.1 $cfg_port "$work/qildnsc.json" 900 & pids+=($!)
(cd "$work" && QILDNSC_CONFIG_SERVER=127.0.0.1:$cfg_port exec \
  "$OLDPWD/build/bin/qildnsc/qildnsc" -w -l 127.0.0.1 -p $fwd_port -d 127.0.0.2:$up_port \
  -C 1000) & pids+=($!)
ready 127.0.0.1 $fwd_port || { echo "qildnsc did not start" >&2; exit 1; }

# One run of every test against ADDR:PORT, as "test result" lines.
run() {
  echo "bench.test ns.bench.test $1" |
    timeout 300 "$work/genreport/genreport" -P "$2" -t -f -c -s |
    sed 's/^[^:]*: //' | tr ' ' '\n' | sed -n 's/=/ /p'
}
run 127.0.0.2 $up_port > "$work/direct"
run 127.0.0.1 $fwd_port > "$work/first"
run 127.0.0.1 $fwd_port > "$work/second"

echo "genreport -t -f -c -s: bench.test on unbound $(unbound -V | sed -n 's/^Version //p'),"
echo "directly and through qildnsc -C 1000 (twice); $(wc -l < "$work/direct") tests"
printf '%-12s %-28s %-28s %s\n' test direct "qildnsc, first" "qildnsc, second"
differ=0
while read -r test want; do
  got1=$(awk -v t="$test" '$1 == t { print $2 }' "$work/first")
  got2=$(awk -v t="$test" '$1 == t { print $2 }' "$work/second")
  [ "$got1" = "$want" ] && [ "$got2" = "$want" ] && continue
  printf '%-12s %-28s %-28s %s\n' "$test" "$want" "${got1:--}" "${got2:--}"
  [ "$test" = signed ] || differ=$((differ + 1))
done < "$work/direct"
echo "$differ tests differ (the signed one not counted)"
[ "$differ" -eq 0 ]
