#!/usr/bin/env bash
# scripts/demo and the console's configuration: DEMO1 in server.ini follows
# the demo folder of each run, the user's own servers and setting.ini stay
# byte for byte, and --help prints the options and nothing of the script.
set -euo pipefail
root=$1
build=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# A build folder of links to the built programs, so that the test writes the
# configuration into a program folder of its own.
fake="$dir/build"
mkdir -p "$fake/Webwarden32" "$fake/bin"
for f in webwarden32 CVSRVA.OCX regsvr32; do ln -s "$build/Webwarden32/$f" "$fake/Webwarden32/$f"; done
ln -s "$build/bin/cvserverd" "$fake/bin/cvserverd"
program="$fake/Webwarden32"
demo() { "$root/scripts/demo" --prepare --no-setup --no-build --build "$fake" "$@"; }
path_of() { awk -v s="[$1]" '{ sub(/\r$/, "") } $0 == s { f = 1; next } /^\[/ { f = 0 } f && /^ApachePath=/ { print substr($0, 12) }' "$program/server.ini"; }

help=$("$root/scripts/demo" --help)
grep -q -- '--smoke' <<<"$help" || fail "--help does not list --smoke"
if grep -q 'set -euo' <<<"$help"; then fail "--help prints a line of the script"; fi

# First run: both files made.
out=$(demo --dir "$dir/one")
[ "$(path_of DEMO1)" = "$dir/one/DEMO1/APACHE" ] || fail "first run: DEMO1 is at '$(path_of DEMO1)'"
grep -q 'wrote .*server.ini' <<<"$out" || fail "first run did not say that it wrote server.ini: $out"

# The user adds a server and picks it as default, between the two sections and at the end.
printf '[SRV9]\r\nServername=SRV9\r\nApachePath=/srv9/apache\r\nHandle=QBT\r\n' >> "$program/server.ini"
printf '[Main]\r\nServername=SRV9\r\nMode=Simple\r\n' > "$program/setting.ini"
cp "$program/setting.ini" "$dir/setting.before"

# A second demo folder: DEMO1 follows it, SRV9 and setting.ini stay.
out=$(demo --dir "$dir/two")
[ "$(path_of DEMO1)" = "$dir/two/DEMO1/APACHE" ] || fail "second folder: DEMO1 is still at '$(path_of DEMO1)'"
[ "$(path_of SRV9)" = "/srv9/apache" ] || fail "the user's server was changed"
grep -q $'^\\[SRV9\\]\r$' "$program/server.ini" || fail "SRV9 lost its line break"
grep -q $'^ApachePath='"$dir/two/DEMO1/APACHE"$'\r$' "$program/server.ini" || fail "ApachePath lost its CR LF"
cmp -s "$program/setting.ini" "$dir/setting.before" || fail "setting.ini was changed"
grep -q "DEMO1 now uses this demo folder.*was $dir/one/DEMO1/APACHE" <<<"$out" || fail "the change was not said: $out"
grep -q "default server is 'SRV9'" <<<"$out" || fail "the other default server was not mentioned: $out"
[ "$(grep -c 'ApachePath' "$program/server.ini")" = 2 ] || fail "ApachePath written twice"

# The same folder again: nothing changes.
cp "$program/server.ini" "$dir/server.before"
out=$(demo --dir "$dir/two")
cmp -s "$program/server.ini" "$dir/server.before" || fail "an unchanged folder rewrote server.ini"
grep -q "DEMO1 uses this demo folder" <<<"$out" || fail "the unchanged state was not said: $out"

# A server.ini without DEMO1 (and without a final line break) gets it added.
printf '[SRV9]\r\nServername=SRV9\r\nApachePath=/srv9/apache' > "$program/server.ini"
out=$(demo --dir "$dir/one")
[ "$(path_of DEMO1)" = "$dir/one/DEMO1/APACHE" ] || fail "DEMO1 was not added"
[ "$(path_of SRV9)" = "/srv9/apache" ] || fail "SRV9 was changed when DEMO1 was added"
grep -q 'added DEMO1' <<<"$out" || fail "the addition was not said: $out"
echo "demo configuration follows the demo folder"
