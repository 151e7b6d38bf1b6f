#!/usr/bin/env bash
# The packages as an administrator deploys them, on a Debian 12 machine with
# systemd as PID 1: a container booted with systemd-nspawn from a minimal
# bookworm tree (made once with mmdebstrap and kept in a cache), sharing this
# machine's network. In it: both packages installed with apt, the agent run by
# its unit, Apache started on port 80 through cvcli from a volume laid out as
# README.Debian says, its log read by a member of the volume's group,
# reloads, an upgrade to a second build of a higher version, the unit's
# security exposure, the audit trail (its records in the journal, and
# audit-verify across the upgrade's restart), and a purge.
#
# Usage: systemd_test.sh SOURCE BUILD
# Exit 77 (skipped) with the reason when this machine cannot run it.
set -euo pipefail
src=$1
build=$2

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $(date +%T) $*"; }

[ "$(id -u)" -eq 0 ] || skip "booting a container needs root (this runs as $(id -un))"
for tool in systemd-nspawn mmdebstrap nsenter cpack dpkg-deb ss setpriv; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/setup installs it)"
done
[ -d /sys/fs/cgroup ] || skip "no cgroup file system: systemd cannot boot in a container here"
# Apache in the container binds port 80 of this machine's network.
if [ -n "$(ss -Hltn 'sport = :80')" ]; then
  skip "port 80 is in use on this machine: $(ss -Hltnp 'sport = :80' | head -1)"
fi

work=$(mktemp -d /tmp/ww-systest.XXXXXX)
machine=$work/machine
nspawn=""
init=""

inside() { timeout 180 nsenter -t "$init" -a -- "$@"; }
# apt's downloads (the first run fills the cache) get longer.
inside_apt() { timeout 900 nsenter -t "$init" -a -- "$@"; }
cleanup() {
  set +e
  if [ -n "$init" ] && kill -0 "$init" 2>/dev/null; then
    # Apache first (unloaded by the agent as it stops), then the machine.
    timeout 60 nsenter -t "$init" -a -- systemctl stop cvserverd >/dev/null 2>&1
    timeout 10 nsenter -t "$init" -a -- pkill -KILL -x apache2 >/dev/null 2>&1
  fi
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
    kill -TERM "$nspawn"  # systemd-nspawn powers the machine off
    for _ in $(seq 60); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.5; done
    kill -0 "$nspawn" 2>/dev/null && kill -KILL "$nspawn"
    wait "$nspawn" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the machine's tree, made once ------------------------------------------
cache=${WW_SYSTEST_CACHE:-/var/cache/webwarden32-systest}
if ! mkdir -p "$cache" 2>/dev/null || [ ! -w "$cache" ]; then cache=$work/cache; mkdir -p "$cache"; fi
image=$cache/bookworm-minbase.tar
if [ ! -s "$image" ]; then
  step "making the Debian 12 tree with mmdebstrap (once; kept in $cache)"
  if ! timeout 900 mmdebstrap --variant=minbase \
      --include=systemd,systemd-sysv,dbus,libpam-systemd,iproute2,procps,curl \
      bookworm "$image.tmp.$$" >"$work/mmdebstrap.log" 2>&1; then
    rm -f "$image.tmp.$$"
    if grep -qiE 'could not resolve|failed to fetch|temporary failure|network is unreachable' "$work/mmdebstrap.log"; then
      skip "no network for apt: $(grep -iE 'could not resolve|failed to fetch|temporary failure|unreachable' "$work/mmdebstrap.log" | head -1)"
    fi
    tail -20 "$work/mmdebstrap.log" >&2
    fail "mmdebstrap"
  fi
  mv "$image.tmp.$$" "$image"
fi
mkdir -p "$cache/archives/partial"

# --- the packages: this build, and the same tree as a higher version -----------
step "packages of this build"
(cd "$build" && cpack -G DEB -B "$work/v1" >"$work/cpack1.log" 2>&1) || { tail -20 "$work/cpack1.log" >&2; fail "cpack"; }
v1_deb=$(ls "$work"/v1/cvserverd_*.deb)
v1=$(dpkg-deb -f "$v1_deb" Version)
v1_upstream=${v1%-*}
v2_upstream=$v1_upstream.1
step "cvserverd $v2_upstream: a second build of the agent"
upgrade=$build/systest-upgrade
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
cmake -S "$src" -B "$upgrade" -G Ninja -DCMAKE_BUILD_TYPE="${build_type:-RelWithDebInfo}" \
  -DWW_VERSION_OVERRIDE="$v2_upstream" -DWW_PACKAGE_COMPONENTS=cvserverd -DWW_BENCH=OFF -DWW_PYTHON=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >"$work/upgrade-cmake.log" 2>&1 ||
  { tail -20 "$work/upgrade-cmake.log" >&2; fail "configure the upgrade build"; }
cmake --build "$upgrade" --target cvserverd cvrfcd ww_packaging_files >"$work/upgrade-build.log" 2>&1 ||
  { tail -30 "$work/upgrade-build.log" >&2; fail "build the upgrade"; }
(cd "$upgrade" && cpack -G DEB -B "$work/v2" >"$work/cpack2.log" 2>&1) || { tail -20 "$work/cpack2.log" >&2; fail "cpack of the upgrade"; }
v2_deb=$(ls "$work"/v2/cvserverd_*.deb)
dpkg --compare-versions "$(dpkg-deb -f "$v2_deb" Version)" gt "$v1" || fail "the upgrade's version is not higher"

# --- boot --------------------------------------------------------------------
step "booting the machine"
mkdir -p "$machine"
tar -xf "$image" -C "$machine"
mkdir -p "$machine/root/debs/v1" "$machine/root/debs/v2"
cp "$work"/v1/*.deb "$machine/root/debs/v1/"
cp "$v2_deb" "$machine/root/debs/v2/"
systemd-nspawn --register=no --keep-unit -q -D "$machine" -b \
  --bind="$cache/archives:/var/cache/apt/archives" </dev/null >"$work/console.log" 2>&1 &
nspawn=$!
for _ in $(seq 100); do
  init=$(pgrep -P "$nspawn" -x systemd || true)
  [ -n "$init" ] && break
  kill -0 "$nspawn" 2>/dev/null || break
  sleep 0.2
done
[ -n "$init" ] || { cat "$work/console.log" >&2; skip "systemd-nspawn could not boot a machine here"; }
# (systemctl answers once the machine's systemd takes connections)
state=""
for _ in $(seq 120); do
  state=$(inside systemctl is-system-running --wait 2>/dev/null || true)
  case "$state" in running|degraded) break ;; esac
  sleep 0.5
done
case "$state" in running|degraded) ;; *) fail "the machine did not come up: $state" ;; esac
[ "$(inside cat /proc/1/comm)" = systemd ] || fail "PID 1 in the machine is not systemd"

# --- install ------------------------------------------------------------------
step "apt: update, apache2, both packages"
inside sh -c 'echo "APT::Keep-Downloaded-Packages \"true\";" > /etc/apt/apt.conf.d/99keep-downloads'
if ! inside_apt apt-get update -q >"$work/apt-update.log" 2>&1; then
  skip "no network for apt: $(grep -E '^(E|W):' "$work/apt-update.log" | head -1)"
fi
grep -q '^W: Failed to fetch\|^E:' "$work/apt-update.log" && skip "no network for apt: $(grep -E '^(E|W):' "$work/apt-update.log" | head -1)"
export_env="DEBIAN_FRONTEND=noninteractive"
# Debian's own apache2 service must not take port 80: not started at all.
inside sh -c 'printf "#!/bin/sh\nexit 101\n" > /usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d'
inside_apt env $export_env apt-get install -y -q --no-install-recommends apache2 >"$work/apt-apache.log" 2>&1 ||
  { tail -20 "$work/apt-apache.log" >&2; fail "apt-get install apache2"; }
inside rm -f /usr/sbin/policy-rc.d
inside systemctl disable --now apache2 >/dev/null 2>&1 || true
inside_apt sh -c "$export_env apt-get install -y -q --no-install-recommends /root/debs/v1/cvserverd_*.deb /root/debs/v1/webwarden32_*.deb" \
  >"$work/apt-install.log" 2>&1 || { tail -30 "$work/apt-install.log" >&2; fail "apt-get install of both packages"; }
inside dpkg -s cvserverd webwarden32 >/dev/null || fail "the packages are not installed"

conf=/etc/cvserverd/cvserverd.toml
[ "$(inside stat -c '%a %U %G' $conf)" = "640 root _cvserverd" ] || fail "$conf is $(inside stat -c '%a %U %G' $conf)"
[ "$(inside stat -c '%a %U' /var/lib/cvserverd)" = "750 _cvserverd" ] || fail "no state folder /var/lib/cvserverd"
inside id -nG _cvserverd | grep -qw corvane || fail "_cvserverd is not in the group corvane"
st=$(inside systemctl is-enabled cvserverd || true); [ "$st" = disabled ] || fail "the unit is enabled before it is configured: $st"
inside test -x /usr/lib/webwarden32/webwarden32 || fail "the console is not installed"

# --- the volume, as README.Debian says ------------------------------------------
step "volume, Apache module, users"
readme=$(inside zcat -f /usr/share/doc/cvserverd/README.Debian 2>/dev/null || inside cat /usr/share/doc/cvserverd/README.Debian)
grep -q 'install -d -o _cvserverd -g corvane -m 2770' <<<"$readme" || fail "README.Debian lacks the volume step"
inside install -d -o _cvserverd -g corvane -m 2770 /srv/corvane /srv/corvane/SYS \
  /srv/corvane/SYS/SYSTEM /srv/corvane/SYS/APACHE /srv/corvane/SYS/APACHE/conf \
  /srv/corvane/SYS/APACHE/log /srv/corvane/SYS/APACHE/htdocs
inside install -o _cvserverd -g corvane -m 0660 /usr/share/doc/cvserverd/examples/apache2.qrx /srv/corvane/SYS/SYSTEM/
inside install -o _cvserverd -g corvane -m 0660 /usr/share/doc/cvserverd/examples/httpd.conf /srv/corvane/SYS/APACHE/conf/
# Port 80 of loopback only: the machine shares this computer's network.
inside sed -i 's/^Listen 80$/Listen 127.0.0.1:80/' /srv/corvane/SYS/APACHE/conf/httpd.conf
inside sh -c 'echo "<h1>Apache of SYSTEST through cvserverd</h1>" > /srv/corvane/SYS/APACHE/htdocs/index.html &&
  chown _cvserverd:corvane /srv/corvane/SYS/APACHE/htdocs/index.html'
inside useradd -m alice
inside useradd -m bob
inside adduser --quiet alice corvane

agent_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
hash() { printf '%s\n' "$1" | inside cvserverd hash-password --iterations 4096; }
inside sed -i -e 's/^name = "CORVANE1"/name = "SYSTEST"/' -e "s/^listen = .*/listen = \"127.0.0.1:$agent_port\"/" $conf
add_user() {  # NAME PASSWORD OPERATOR
  printf '\n[[user]]\nname = "%s"\npassword = "%s"\noperator = %s\n' "$1" "$(hash "$2")" "$3" | inside sh -c "cat >> $conf"
}
add_user ADMIN ADMIN-secret true
client() {  # USER: a client.ini for root in the machine
  inside sh -c "umask 077; mkdir -p /root/$1; echo '$1-secret' > /root/$1/password
    printf '[Servers]\nSYSTEST=127.0.0.1:$agent_port\n[Login]\nUser=$1\nPasswordFile=/root/$1/password\n[Timeouts]\nConnect=5000\nRequest=20000\n' > /root/$1/client.ini"
}
cli() {  # USER ARGS...
  local user=$1; shift
  inside env CORVANE_CLIENT=/root/$user/client.ini cvcli SYSTEST "$@"
}
client ADMIN

# --- the unit -------------------------------------------------------------------
step "systemctl enable --now cvserverd"
inside systemctl enable --now cvserverd >/dev/null 2>&1 || { inside journalctl -u cvserverd --no-pager | tail -20 >&2; fail "start"; }
[ "$(inside systemctl is-active cvserverd)" = active ] || fail "cvserverd is not active"
main_pid() { inside systemctl show -p MainPID --value cvserverd; }
pid=$(main_pid)
caps=$(inside grep -E '^Cap(Amb|Bnd|Eff)' /proc/"$pid"/status)
grep -q 'CapAmb:.*0000000000000400' <<<"$caps" || fail "the agent lacks the ambient CAP_NET_BIND_SERVICE: $caps"
grep -q 'CapBnd:.*0000000000000400' <<<"$caps" || fail "the agent's bounding set is more than CAP_NET_BIND_SERVICE: $caps"
cli ADMIN info >/dev/null 2>&1 || fail "cvcli info: $(cli ADMIN info 2>&1)"

# A configuration with an error: the load fails and cvcli names the line.
inside cp /srv/corvane/SYS/APACHE/conf/httpd.conf /root/httpd.conf.good
inside sed -i 's/^DirectoryIndex index.html/DirectoryIndx index.html/' /srv/corvane/SYS/APACHE/conf/httpd.conf
if out=$(cli ADMIN load apache2 2>&1); then fail "a broken httpd.conf loaded"; fi
grep -q 'cvcli: output: .*Syntax error on line [0-9]* of /srv/corvane/SYS/APACHE/conf/httpd.conf' <<<"$out" ||
  fail "cvcli did not keep the line that names the cause: $out"
inside cp /root/httpd.conf.good /srv/corvane/SYS/APACHE/conf/httpd.conf

step "Apache on port 80 through cvcli"
cli ADMIN load apache2 >"$work/load.log" 2>&1 || { cat "$work/load.log" >&2; fail "cvcli load apache2"; }
code=$(curl -s -o "$work/page.html" -w '%{http_code}' --max-time 10 http://127.0.0.1/ || true)
[ "$code" = 200 ] || fail "GET http://127.0.0.1/ answered $code"
grep -q 'Apache of SYSTEST through cvserverd' "$work/page.html" || fail "not the volume's page: $(cat "$work/page.html")"
apache=$(inside pgrep -u _cvserverd -o -x apache2) || fail "no apache2 of _cvserverd"
inside grep -q 'CapAmb:.*0000000000000400' /proc/"$apache"/status || fail "Apache did not inherit the capability"

log=/srv/corvane/SYS/APACHE/log/error_log
[ "$(inside stat -c %G $log)" = corvane ] || fail "error_log's group is $(inside stat -c %G $log)"
inside runuser -u alice -- grep -q 'module APACHE2 did not load' $log || fail "alice (group corvane) cannot read error_log"
if inside runuser -u bob -- cat $log >/dev/null 2>&1; then fail "bob, not in the group, reads error_log"; fi

# --- reloads ------------------------------------------------------------------------
step "reloads: systemctl reload, kill -HUP, a configuration with an error"
client CAROL
client DAVE
inside sh -c 'cvcli_wait() { CORVANE_CLIENT=/root/ADMIN/client.ini exec cvcli SYSTEST messages --wait 90000; }
  cvcli_wait > /root/held.out 2>&1 & echo $! > /root/held.pid'
held_slot=""
for _ in $(seq 50); do
  # The listing is a connection of its own, logged in after the held one,
  # which therefore comes first.
  list=$(cli ADMIN connections 2>/dev/null || true)
  if [ "$(grep -c '  ADMIN ' <<<"$list")" -ge 2 ]; then
    held_slot=$(awk '$2 == "ADMIN" {print $1; exit}' <<<"$list")
    break
  fi
  sleep 0.2
done
[ -n "$held_slot" ] || fail "the held connection did not log in"
reloads() { inside journalctl -u cvserverd -o cat --no-pager | grep -c 'configuration re-read' || true; }
wait_reloads() {  # COUNT
  for _ in $(seq 100); do [ "$(reloads)" -ge "$1" ] && return 0; sleep 0.2; done
  fail "no reload ($1) in the journal"
}
# The reload is logged before the agent tells systemd it is ready again, so
# the unit may still read "reloading" for a moment: wait that out, no more.
settled_state() {
  local state
  for _ in $(seq 50); do
    state=$(inside systemctl is-active cvserverd || true)
    [ "$state" = reloading ] || break
    sleep 0.2
  done
  echo "$state"
}
n=$(reloads)
add_user CAROL CAROL-secret false
inside systemctl reload cvserverd || fail "systemctl reload"
wait_reloads $((n + 1))
state=$(settled_state); [ "$state" = active ] || fail "inactive after systemctl reload ($state)"
[ "$(main_pid)" = "$pid" ] || fail "systemctl reload restarted the agent"
cli CAROL info >/dev/null 2>&1 || fail "CAROL, added before the reload, cannot log in: $(cli CAROL info 2>&1)"

add_user DAVE DAVE-secret false
inside kill -HUP "$pid"
wait_reloads $((n + 2))
state=$(settled_state); [ "$state" = active ] || fail "inactive after SIGHUP ($state)"
[ "$(main_pid)" = "$pid" ] || fail "SIGHUP restarted the agent"
cli DAVE info >/dev/null 2>&1 || fail "DAVE, added before SIGHUP, cannot log in"
cli ADMIN send "$held_slot" "still here after two reloads" >/dev/null 2>&1 || fail "cvcli send to the held connection"
for _ in $(seq 50); do inside grep -q 'still here' /root/held.out && break; sleep 0.2; done
inside grep -q 'still here after two reloads' /root/held.out || fail "the connection made before the reloads is gone: $(inside cat /root/held.out)"

inside cp $conf /root/cvserverd.toml.good
inside sh -c "echo '[[user' >> $conf"
inside systemctl reload cvserverd
for _ in $(seq 100); do
  inside journalctl -u cvserverd -p err -o cat --no-pager | grep -q 'stays as it was' && break
  sleep 0.2
done
inside journalctl -u cvserverd -p err -o cat --no-pager | grep -q 'the configuration in use stays as it was' ||
  fail "the failed reload is not in the journal at error priority"
if inside journalctl -u cvserverd -p err -o cat --no-pager | grep -q 'listening on'; then
  fail "info lines land at error priority"
fi
state=$(settled_state); [ "$state" = active ] || fail "a broken configuration stopped the agent ($state)"
cli CAROL info >/dev/null 2>&1 || fail "the running configuration was lost"
inside cp /root/cvserverd.toml.good $conf

# --- exposure -----------------------------------------------------------------------
exposure=$(inside systemd-analyze security cvserverd 2>/dev/null | sed -n 's/.*Overall exposure level for cvserverd.service: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || fail "systemd-analyze security printed no exposure level"
awk -v e="$exposure" 'BEGIN { exit !(e <= 5.0) }' || fail "exposure $exposure is worse than 5.0"
echo "systemd-analyze security: $exposure"

# --- upgrade --------------------------------------------------------------------------
step "upgrade to $v2_upstream"
inside sh -c "$export_env apt-get install -y -q --no-install-recommends /root/debs/v2/cvserverd_*.deb" >"$work/apt-upgrade.log" 2>&1 ||
  { tail -20 "$work/apt-upgrade.log" >&2; fail "the upgrade"; }
for _ in $(seq 50); do [ "$(inside systemctl is-active cvserverd)" = active ] && break; sleep 0.2; done
new_pid=$(main_pid)
[ "$new_pid" != "$pid" ] && [ "$new_pid" != 0 ] || fail "the upgrade did not restart the agent (MainPID $new_pid)"
exe=$(inside readlink /proc/"$new_pid"/exe)
[ "$exe" = /usr/sbin/cvserverd ] || fail "the running agent is $exe"
inside cvserverd --version | grep -q "^cvserverd $v2_upstream " || fail "cvserverd --version: $(inside cvserverd --version)"
inside journalctl -u cvserverd -o cat --no-pager | grep -q "^cvserverd $v2_upstream .* starting" ||
  fail "the journal has no start of $v2_upstream"
[ "$(inside systemctl is-enabled cvserverd)" = enabled ] || fail "the upgrade disabled the unit"
[ "$(inside stat -c '%a %U %G' $conf)" = "640 root _cvserverd" ] || fail "the upgrade changed $conf's mode"
cli DAVE info >/dev/null 2>&1 || fail "no login after the upgrade"

# --- audit trail ---------------------------------------------------------------------
step "audit trail: journal fields, audit-verify across the upgrade's restart"
loads=$(inside journalctl -u cvserverd CV_ACTION=load -o json --no-pager)
# Both loads of apache2 by ADMIN: the refused one with Apache's reason, then the one that ran.
python3 -c '
import json, sys
loads = [json.loads(line) for line in sys.stdin if line.strip()]
mine = [r for r in loads if r.get("CV_USER") == "ADMIN" and r.get("CV_TARGET", "").split() == ["apache2"]]
refused = [r for r in mine if r.get("CV_OUTCOME") != "0" and "DirectoryIndx" in r.get("CV_DETAIL", "")]
loaded = [r for r in mine if r.get("CV_OUTCOME") == "0" and r.get("CV_PEER") == "127.0.0.1" and r.get("CV_MECHANISM") == "scram"]
sys.exit(0 if refused and loaded else 1)' <<<"$loads" || fail "the journal's CV_ACTION=load records are not the two loads: $loads"
inside systemctl stop cvserverd
verify=$(inside sh -c "cvserverd audit-verify --config $conf /var/lib/cvserverd/audit.log*" 2>&1) ||
  fail "audit-verify of the stopped agent's trail: $verify"
# Signed at each start and stop: the first agent's, and the upgraded one's.
grep -q '^intact: [0-9]* records, 4 checkpoints$' <<<"$verify" || fail "audit-verify: $verify"

# --- purge ----------------------------------------------------------------------------
step "apt-get purge cvserverd"
inside env $export_env apt-get purge -y -q cvserverd >"$work/apt-purge.log" 2>&1 || { tail -20 "$work/apt-purge.log" >&2; fail "purge"; }
left=$(inside sh -c 'ls -d /etc/systemd/system/*.wants/cvserverd.service /var/lib/cvserverd \
  /var/lib/systemd/deb-systemd-helper-enabled/cvserverd.service.dsh-also \
  /var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/cvserverd.service 2>/dev/null' || true)
[ -z "$left" ] || fail "purge left: $left"
[ -z "$(inside dpkg-statoverride --list $conf || true)" ] || fail "purge left the stat override of $conf"
if inside pgrep -x cvserverd >/dev/null; then fail "an agent runs after the purge"; fi
if inside pgrep -x apache2 >/dev/null; then fail "Apache runs after the purge"; fi
echo "system test: passed"
