#!/bin/sh
# Installs the build in $1 into a temporary prefix and checks what lands
# there: both programs, their manual pages (formatted without a warning),
# their systemd units (accepted by systemd-analyze, naming the installed
# binary and the settings file install wrote), the settings files naming
# the example lists where they are, and qildnsc's settings working with
# nothing edited: no configuration server, this machine's resolvers, the
# same as the unit's own defaults, passing the program's check (-t). Then
# the same with --prefix /usr under a DESTDIR (settings in /etc), and its
# uninstall, which leaves no file.
set -eu
build=$1
prefix=$(mktemp -d)
destdir=$(mktemp -d)
trap 'rm -rf "$prefix" "$destdir"' EXIT

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

for name in qildnsc qildnsc-upstream; do
  unit=$prefix/lib/systemd/system/$name.service
  if [ ! -f "$unit" ]; then
    fail "no systemd unit $name.service"
    continue
  fi
  grep -q "^ExecStart=$prefix/bin/$name \\\$" "$unit" ||
    fail "the unit does not start $prefix/bin/$name"
  [ -f "$prefix/etc/default/$name" ] || fail "no settings file etc/default/$name"
  grep -q "^EnvironmentFile=-$prefix/etc/default/$name\$" "$unit" ||
    fail "$name.service does not read the settings install wrote"
  if command -v systemd-analyze >/dev/null; then
    # Documentation=man:...(8) must be found where it was installed.
    out=$(MANPATH=$prefix/share/man systemd-analyze verify "$unit" 2>&1) ||
      fail "systemd-analyze verify $name.service: $out"
  else
    echo "skipped: no systemd-analyze to verify $name.service"
  fi
done
for f in blocklist.txt croute.txt; do
  [ -f "$prefix/share/qildnsc/examples/$f" ] || fail "no example list $f"
  grep -q "(example: $prefix/share/qildnsc/examples/$f)" "$prefix/etc/default/qildnsc" ||
    fail "the settings do not name $prefix/share/qildnsc/examples/$f"
done

# The settings as shipped, read as systemd reads them (one assignment a
# line), and the unit's defaults for when the file is gone.
settings=$prefix/etc/default/qildnsc
options=$(sed -n 's/^QILDNSC_OPTIONS="\(.*\)"$/\1/p' "$settings")
server=$(sed -n 's/^QILDNSC_CONFIG_SERVER=//p' "$settings")
[ "$server" = none ] || fail "the settings name the configuration server '$server', not none"
case " $options " in
  *" -d @network "*) ;;
  *) fail "the settings' options '$options' do not use -d @network" ;;
esac
unit=$prefix/lib/systemd/system/qildnsc.service
grep -qx "Environment=\"QILDNSC_OPTIONS=$options\"" "$unit" ||
  fail "the unit's default options are not the settings' '$options'"
grep -qx 'Environment="QILDNSC_CONFIG_SERVER=none"' "$unit" ||
  fail "the unit's default configuration server is not none"
if grep -q '^nameserver' /etc/resolv.conf 2>/dev/null; then
  work=$(mktemp -d)
  # shellcheck disable=SC2086 # the options are words, as systemd splits them
  out=$(cd "$work" && QILDNSC_CONFIG_SERVER=$server "$prefix/bin/qildnsc" -t $options 2>&1) ||
    fail "the shipped settings fail the check: $out"
  case "$out" in
    *"check passed"*"servers "*) ;;
    *) fail "the shipped settings' check says: $out" ;;
  esac
  [ -z "$(ls -A "$work")" ] || fail "the check wrote to its directory"
  rm -rf "$work"
else
  echo "skipped: /etc/resolv.conf names no nameserver to check the shipped settings with"
fi

DESTDIR=$destdir cmake --install "$build" --prefix /usr >/dev/null
unit=$destdir/usr/lib/systemd/system/qildnsc.service
env_file=$(sed -n 's/^EnvironmentFile=-//p' "$unit")
[ "$env_file" = /etc/default/qildnsc ] || fail "with --prefix /usr the unit reads '$env_file'"
[ -f "$destdir$env_file" ] || fail "the unit's EnvironmentFile $env_file was not installed"
grep -q "(example: /usr/share/qildnsc/examples/blocklist.txt)" "$destdir/etc/default/qildnsc" ||
  fail "/etc/default/qildnsc does not name /usr/share/qildnsc/examples"
DESTDIR=$destdir cmake --build "$build" --target uninstall >/dev/null
left=$(find "$destdir" -type f -o -type l)
[ -z "$left" ] || fail "uninstall left: $left"
exit $status
