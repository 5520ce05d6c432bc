# scripts/demo_tls.sh -- the demo's DNS over TLS server (unbound on
# 127.0.0.1 port 8853), sourced by scripts/run and by
# tests/demo_offline_test.sh, so that the test checks the very
# configuration the demo runs: unbound answers tls.demo.test itself and
# refuses every other name, never recursing, so nothing leaves the
# machine.

# Makes a demo CA (DIR/ca.pem) and a certificate for dot.demo.test signed
# by it (DIR/tls.pem, DIR/tls.key); fails quietly when openssl does.
demo_tls_certs() {
  local key="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
  # shellcheck disable=SC2086 # $key is several words
  (cd "$1" &&
    openssl req -x509 $key -keyout ca.key -out ca.pem -days 30 -subj "/CN=qildnsc demo CA" &&
    printf 'subjectAltName=DNS:dot.demo.test\n' > tls.ext &&
    openssl req $key -keyout tls.key -out tls.csr -subj "/CN=dot.demo.test" &&
    openssl x509 -req -in tls.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out tls.pem \
      -days 30 -extfile tls.ext) >/dev/null 2>&1
}

# Writes on standard output unbound's configuration, with its files in the
# absolute directory $1 (where demo_tls_certs made them).
demo_unbound_conf() {
  cat <<UNBOUND
server:
  interface: 127.0.0.1@8853
  tls-port: 8853
  tls-service-key: "$1/tls.key"
  tls-service-pem: "$1/tls.pem"
  do-daemonize: no
  username: ""
  chroot: ""
  directory: "$1"
  use-syslog: no
  logfile: ""
  pidfile: ""
  module-config: "iterator"
  local-zone: "." refuse
  local-zone: "demo.test." refuse
  local-zone: "tls.demo.test." static
  local-data: "tls.demo.test. 60 IN A 192.0.2.40"
UNBOUND
}
