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

conf="$dir/DEMO1/APACHE/conf/httpd.conf"
echo "ThisIsNoDirective on" >> "$conf"
out=$("${demo[@]}" --smoke --expect-start-failure) || { echo "$out"; exit 1; }
echo "$out"
{ grep -q '^details: .*\[cvserverd:error\].* did not load: ' <<<"$out" && grep -q 'output: .*ThisIsNoDirective' <<<"$out"; } || { echo "the failure's details do not give Apache's reason" >&2; exit 1; }
if pgrep -f -- "$conf" >/dev/null; then
  echo "an Apache with the broken configuration is still running:" >&2
  pgrep -af -- "$conf" >&2
  exit 1
fi
grep -q "ThisIsNoDirective" "$dir/cvserverd.log" || { echo "the agent did not log the failed preflight" >&2; tail -20 "$dir/cvserverd.log" >&2; exit 1; }
echo "real Apache: start, stop and a refused broken configuration as expected"
