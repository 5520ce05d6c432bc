#!/usr/bin/env bash
# The demo's DNS over TLS server (scripts/demo_tls.sh, as scripts/run
# starts it) sends nothing off the machine: in a network namespace of its
# own whose default routes lead to an interface that goes nowhere (a veth
# pair, both ends here), unbound answers tls.demo.test and refuses
# example.com, and no datagram or segment goes out through that interface
# (counted by iptables and ip6tables rules of the namespace's own). Needs
# root, unbound, openssl, dig and iptables; skips (status 77) without them.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/demo_tls.sh"

if [ "$(id -u)" -ne 0 ] || [ ! -x /usr/sbin/unbound ] || ! command -v openssl >/dev/null ||
   ! command -v dig >/dev/null || ! command -v iptables >/dev/null; then
  echo "skipped: needs root, /usr/sbin/unbound, openssl, dig and iptables"
  exit 77
fi
if [ "${QIL_DEMO_NETNS:-}" != 1 ]; then
  QIL_DEMO_NETNS=1 exec unshare -n bash "$0" "$@"
fi

dir=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT

ip link set lo up
ip link add qildemo0 type veth peer name qildemo1
ip link set qildemo0 up
ip link set qildemo1 up
ip addr add 198.51.100.2/24 dev qildemo0
ip route add default via 198.51.100.1 dev qildemo0
v6=0
if ip -6 addr add 2001:db8::2/64 dev qildemo0 nodad 2>/dev/null &&
   ip -6 route add default via 2001:db8::1 dev qildemo0 2>/dev/null &&
   ip6tables -w -L OUTPUT >/dev/null 2>&1; then
  v6=1
fi
for p in udp tcp; do
  iptables -w -A OUTPUT -o qildemo0 -p $p
  [ $v6 -eq 0 ] || ip6tables -w -A OUTPUT -o qildemo0 -p $p
done
# The datagrams and segments that went out through the default routes.
sent() {
  { iptables -w -L OUTPUT -v -x -n; [ $v6 -eq 0 ] || ip6tables -w -L OUTPUT -v -x -n; } |
    awk '$0 ~ /qildemo0/ {n += $1} END {print n + 0}'
}

demo_tls_certs "$dir" || { echo "FAIL: openssl could not make the demo certificates"; exit 1; }
demo_unbound_conf "$dir" > "$dir/unbound.conf"
/usr/sbin/unbound -d -c "$dir/unbound.conf" 2> "$dir/unbound.log" & pid=$!
ask() { dig +tls @127.0.0.1 -p 8853 +tries=1 +time=3 "$@"; }
for _ in $(seq 50); do
  ask +short tls.demo.test >/dev/null 2>&1 && break
  kill -0 "$pid" 2>/dev/null || { echo "FAIL: unbound ended"; cat "$dir/unbound.log"; exit 1; }
  sleep 0.1
done

status=0
before=$(sent)
[ "$(ask +short tls.demo.test)" = 192.0.2.40 ] ||
  { echo "FAIL: unbound does not answer tls.demo.test"; status=1; }
out=$(ask example.com A) || true
case "$out" in
  *"status: REFUSED"*) ;;
  *) echo "FAIL: example.com is not refused: $out"; status=1 ;;
esac
ask www.example.org AAAA >/dev/null || true
sleep 1
after=$(sent)
[ "$after" -eq "$before" ] ||
  { echo "FAIL: $((after - before)) packets went out through the default route"; status=1; }
[ $status -eq 0 ] || cat "$dir/unbound.log"
exit $status
