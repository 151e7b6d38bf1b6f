#!/usr/bin/env bash
# Debian's real Apache through the demo's manifests: Start makes the demo's
# page answer 200 with its text (also run as root, whose Apache workers are
# www-data) and Stop closes the port; with a syntax error in httpd.conf Start
# reports the failure message, its details name the bad line from
# error_log, and nothing is left running.
set -euo pipefail
[ -x /usr/sbin/apache2 ] || { echo "skipped: /usr/sbin/apache2 is not installed (scripts/setup installs it)"; exit 77; }
root=$1
build=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
demo=("$root/scripts/demo" --dir "$dir" --build "$build" --no-setup --no-build)

"${demo[@]}" --smoke

# Another program now holds the port the folder chose for slapd: the demo
# moves slapd, and the agent's directory with it.
taken=$(cat "$dir/slapd/port")
python3 -c 'import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(); print(flush=True); time.sleep(120)' "$taken" > "$dir/holder.out" &
holder=$!
trap 'kill "$holder" 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 100); do [ -s "$dir/holder.out" ] && break; sleep 0.05; done

conf="$dir/DEMO1/APACHE/conf/httpd.conf"
echo "ThisIsNoDirective on" >> "$conf"
out=$("${demo[@]}" --smoke --expect-start-failure) || { echo "$out"; exit 1; }
echo "$out"
moved=$(cat "$dir/slapd/port")
{ [ "$moved" != "$taken" ] && grep -q "slapd's port $taken is taken" <<<"$out" && grep -q "^uri = \"ldap://127.0.0.1:$moved\"" "$dir/cvserverd.toml"; } ||
  { echo "slapd was not moved off the taken port $taken (now $moved)" >&2; exit 1; }
{ grep -q '^details: .*\[cvserverd:error\].* did not load: ' <<<"$out" && grep -q 'output: .*ThisIsNoDirective' <<<"$out"; } || { echo "the failure's details do not give Apache's reason" >&2; exit 1; }
if pgrep -f -- "$conf" >/dev/null; then
  echo "an Apache with the broken configuration is still running:" >&2
  pgrep -af -- "$conf" >&2
  exit 1
fi
grep -q "ThisIsNoDirective" "$dir/cvserverd.log" || { echo "the agent did not log the failed preflight" >&2; tail -20 "$dir/cvserverd.log" >&2; exit 1; }
echo "real Apache: start, stop and a refused broken configuration as expected"
