#!/bin/sh
# Installs the build in $1 into a temporary prefix and checks what lands
# there: both programs, their manual pages (formatted without a warning)
# and the forwarder's systemd unit (accepted by systemd-analyze, naming the
# installed binary).
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
status=0
fail() { echo "FAIL: $*"; status=1; }

for f in bin/qildnsc bin/qildnsc-upstream; do
  [ -x "$prefix/$f" ] || fail "$f is not installed as a program"
done
for page in qildnsc qildnsc-upstream; do
  p=$prefix/share/man/man8/$page.8
  [ -f "$p" ] || { fail "no manual page $page.8"; continue; }
  if command -v man >/dev/null; then
    out=$(MANWIDTH=80 man --warnings -l "$p" 2>&1 >/dev/null) || fail "man $page.8 failed"
    [ -z "$out" ] || fail "man warns about $page.8: $out"
  else
    echo "skipped: no man(1) to check $page.8"
  fi
done

unit=$prefix/lib/systemd/system/qildnsc.service
if [ -f "$unit" ]; then
  grep -qx "ExecStart=$prefix/bin/qildnsc \$QILDNSC_OPTIONS" "$unit" ||
    fail "the unit does not start $prefix/bin/qildnsc"
  if command -v systemd-analyze >/dev/null; then
    # Documentation=man:qildnsc(8) must be found where it was installed.
    out=$(MANPATH=$prefix/share/man systemd-analyze verify "$unit" 2>&1) ||
      fail "systemd-analyze verify: $out"
  else
    echo "skipped: no systemd-analyze to verify the unit"
  fi
else
  fail "no systemd unit qildnsc.service"
fi
exit $status
