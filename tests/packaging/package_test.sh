#!/usr/bin/env bash
# The Debian packages as a user gets them: cpack builds both, dpkg-deb
# unpacks them into a temporary root, and the programs run from there (they
# must find their libraries and help where they are installed): the tools,
# the Python host, the agent's readiness for systemd, the console's smoke
# test against the installed agent and a real Apache. Then the unit, the
# package contents and lintian.
set -euo pipefail
src=$1
build=$2
command -v dpkg-deb >/dev/null || { echo "skipped: dpkg-deb is missing"; exit 77; }

work=$(mktemp -d)
chmod 755 "$work"  # the demo's Apache runs as www-data and serves from here
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack"; }
debs=("$work"/packages/*.deb)
[ "${#debs[@]}" -eq 2 ] || fail "expected two packages, got: ${debs[*]}"
root="$work/root"
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
deb_of() { ls "$work"/packages/"$1"_*.deb; }

# Dependencies: computed from the libraries; the console does not pull in
# Apache nor either package slapd.
for pkg in webwarden32 cvserverd; do
  depends=$(dpkg-deb -f "$(deb_of $pkg)" Depends)
  case "$depends" in *libc6*) ;; *) fail "$pkg: Depends lacks the computed libraries: $depends" ;; esac
  case "$depends" in *apache2*|*slapd*) fail "$pkg must not depend on Apache or slapd: $depends" ;; esac
done
case "$(dpkg-deb -f "$(deb_of webwarden32)" Depends)" in *libqt6widgets6*) ;; *) fail "webwarden32 without Qt in Depends" ;; esac

# The programs, from the unpacked root only.
"$root/usr/sbin/cvserverd" --version | grep -q '^cvserverd ' || fail "cvserverd --version"
# One version: the packages', the agent's and the man pages' are the build's.
version=$(dpkg-deb -f "$(deb_of cvserverd)" Version)
[ "$(dpkg-deb -f "$(deb_of webwarden32)" Version)" = "$version" ] || fail "the two packages' versions differ"
"$root/usr/sbin/cvserverd" --version | grep -q "^cvserverd ${version%-*} " ||
  fail "cvserverd --version says $("$root/usr/sbin/cvserverd" --version), the package $version"
for page in "$root"/usr/share/man/man*/*.gz; do
  zcat "$page" | head -1 | grep -q "\"Webwarden32 ${version%-*}\"" || fail "$page: $(zcat "$page" | head -1)"
done
# The configuration will hold verifiers: not readable by everyone, even
# before the postinst gives it to the agent's group.
perm=$(dpkg-deb -c "$(deb_of cvserverd)" | awk '$6 == "./etc/cvserverd/cvserverd.toml" {print $1}')
[ "$perm" = "-rw-r-----" ] || fail "cvserverd.toml is $perm in the package"
[ -s "$root/usr/share/doc/cvserverd/README.Debian" ] || fail "no README.Debian"
"$root/usr/bin/cvcli" --help >/dev/null || fail "cvcli --help"
rfc_usage=$("$root/usr/lib/cvserverd/cvrfcd" --help 2>&1 || true)
case "$rfc_usage" in "usage: cvrfcd"*) ;; *) fail "cvrfcd: $rfc_usage" ;; esac
for f in RFC.qrx ECHO.BAS; do [ -f "$root/usr/share/doc/cvserverd/examples/$f" ] || fail "example $f"; done
[ "$(readlink "$root/usr/bin/webwarden32")" = ../lib/webwarden32/webwarden32 ] || fail "/usr/bin/webwarden32 link"
# (into a file: grep -q would end the pipe early, and pipefail would count
# tlbdump's broken pipe as its failure)
"$root/usr/bin/tlbdump" "$root/usr/lib/webwarden32/CVSRVA.OCX" >"$work/tlbdump.txt" &&
  grep -q CvSrvAdmLib "$work/tlbdump.txt" || fail "tlbdump on the installed control"
for exe in "$root/usr/lib/webwarden32/webwarden32" "$root/usr/lib/webwarden32/regsvr32" "$root/usr/bin/cvcli"; do
  if ldd "$exe" | grep -E "not found|$build" >&2; then fail "$exe does not find its libraries where installed"; fi
done
[ -f "$root/usr/lib/webwarden32/help/help.html" ] || fail "help page"
# (a sanitizer build has no Python host)
if ls "$root"/usr/lib/python3/dist-packages/cvole.*.so >/dev/null 2>&1; then
PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 - "$root" <<'PY' || fail "cvole from the installed tree"
import sys
import cvole
maps = open("/proc/self/maps").read()
libole = [line.split()[-1] for line in maps.splitlines() if line.endswith("/libole.so")]
assert cvole.__file__.startswith(sys.argv[1]), cvole.__file__
assert libole and all(p.startswith(sys.argv[1] + "/usr/lib/webwarden32/") for p in libole), libole
PY
fi

# Readiness as systemd sees it (Type=notify): READY=1 once the agent
# listens, STOPPING=1 on SIGTERM.
mkdir -p "$work/agent/SYS/SYSTEM"
cat > "$work/agent/cvserverd.toml" <<TOML
[server]
name = "PKGTEST"
listen = "127.0.0.1:0"
port_file = "$work/agent/port"
volume = "$work/agent/SYS"
state = "$work/agent/state.db"
TOML
/usr/bin/python3 - "$root/usr/sbin/cvserverd" "$work/agent" <<'PY' || fail "readiness notification"
import os, signal, socket, subprocess, sys
agent, folder = sys.argv[1], sys.argv[2]
path = os.path.join(folder, "notify")
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(path)
sock.settimeout(20)
proc = subprocess.Popen([agent, "--config", os.path.join(folder, "cvserverd.toml")],
                        env=dict(os.environ, NOTIFY_SOCKET=path), stderr=subprocess.DEVNULL)
try:
    ready = sock.recv(256)
    assert ready == b"READY=1", ready
    assert os.path.getsize(os.path.join(folder, "port")) > 0, "READY=1 before the agent listens"
    proc.send_signal(signal.SIGTERM)
    stopping = sock.recv(256)
    assert stopping == b"STOPPING=1", stopping
    assert proc.wait(20) == 0
finally:
    if proc.poll() is None:
        proc.kill()
        proc.wait()
PY

# The unit: what it runs and reads is in the package.
unit="$root/lib/systemd/system/cvserverd.service"
[ -f "$unit" ] || fail "no systemd unit"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
binary=${exec_start%% *}
[ -x "$root$binary" ] || fail "ExecStart $binary is not in the package"
config=$(sed -n 's/.*--config \([^ ]*\).*/\1/p' <<<"$exec_start")
[ -f "$root$config" ] || fail "the configuration $config is not in the package"
grep -qx "$config" <(dpkg-deb --ctrl-tarfile "$(deb_of cvserverd)" | tar -xO ./conffiles) || fail "$config is no conffile"
user=$(sed -n 's/^User=//p' "$unit")
grep -q "^u $user " "$root/usr/lib/sysusers.d/cvserverd.conf" || fail "sysusers.d does not make $user"
grep -q '^Type=notify' "$unit" || fail "the unit does not wait for readiness"
# The example configuration runs as it is installed (with its paths moved
# into the temporary root).
sed -e "s|\"/srv/corvane/SYS\"|\"$work/agent/SYS\"|" -e "s|\"/var/lib/cvserverd/|\"$work/agent/|" \
    -e "s|127.0.0.1:2540|127.0.0.1:0|" "$root$config" > "$work/agent/example.toml"
printf 'port_file = "%s"\n' "$work/agent/example.port" > "$work/agent/port.toml"
sed -i "/^\[server\]/r $work/agent/port.toml" "$work/agent/example.toml"
"$root$binary" --config "$work/agent/example.toml" 2>"$work/agent/example.log" &
example=$!
for _ in $(seq 100); do [ -s "$work/agent/example.port" ] && break; kill -0 $example 2>/dev/null || break; sleep 0.1; done
[ -s "$work/agent/example.port" ] || { cat "$work/agent/example.log" >&2; fail "the example configuration does not run"; }
kill -TERM $example; wait $example || fail "the agent on the example configuration did not stop cleanly"
# Without [tls] the agent made its key and certificate in its state folder
# (what /var/lib/cvserverd stands for here), the key for its user alone; the
# fingerprint command reads the same certificate.
[ -s "$work/agent/cvserverd-cert.pem" ] || fail "no certificate in the state folder"
[ "$(stat -c %a "$work/agent/cvserverd-key.pem")" = 600 ] || fail "the key is not mode 0600 in the state folder"
fp=$("$root$binary" fingerprint --config "$work/agent/example.toml") || fail "cvserverd fingerprint"
grep -qF "$fp" "$work/agent/example.log" || fail "the fingerprint command and the agent's log differ"
if command -v systemd-analyze >/dev/null; then
  # Offline, against the unpacked tree beside the machine's own units (the
  # targets the unit is ordered after).
  for f in /lib/systemd/system/*; do
    [ -e "$root/lib/systemd/system/${f##*/}" ] || cp -a "$f" "$root/lib/systemd/system/"
  done
  # and the system's kill, which ExecReload= runs
  mkdir -p "$root/bin"
  cp /bin/kill "$root/bin/kill"
  if ! out=$(systemd-analyze verify --man=no --root="$root" /lib/systemd/system/cvserverd.service 2>&1); then
    echo "$out" >&2; fail "systemd-analyze verify"
  fi
  [ -z "$out" ] || echo "systemd-analyze: $out"
fi

if command -v lintian >/dev/null; then
  lintian -I --tag-display-limit 0 "${debs[@]}" > "$work/lintian.txt" 2>&1 || true
  cat "$work/lintian.txt"
  if grep -q '^E:' "$work/lintian.txt"; then fail "lintian reports errors"; fi
  # Every binary is built with the hardening flags (a Debug build, as the
  # sanitizer builds are, goes without _FORTIFY_SOURCE).
  if [ "${WW_FULLY_HARDENED:-1}" = 1 ] && grep -q ' hardening-' "$work/lintian.txt"; then
    fail "lintian reports missing hardening"
  fi
fi
# The man pages render without warnings.
if command -v groff >/dev/null; then
  for page in "$root"/usr/share/man/man*/*.gz; do
    warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$page: $warnings"
  done
fi

# The console's smoke test, all from the installed tree: agent, console
# windows, registration of the installed control, Apache started and stopped.
if [ -x /usr/sbin/apache2 ]; then
  "$src/scripts/demo" --dir "$work/demo" --installed "$root" --smoke
  grep -q "CVSRVA.OCX" "$work/demo/smoke-registry.reg" || fail "the control was not registered"
  grep -qi "$root/usr/lib/webwarden32/CVSRVA.OCX" "$work/demo/smoke-registry.reg" || fail "registered from elsewhere than the installed tree"
else
  echo "no /usr/sbin/apache2: the smoke test is left out"
fi
echo "packages: built, unpacked and run from the installed tree"
