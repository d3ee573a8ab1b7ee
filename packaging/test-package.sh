#!/usr/bin/env bash
# Builds the Debian package and tests it as a desktop would use it: lintian, install with
# dpkg, the installed agent run as an ordinary user with a fresh home (certificate made in the
# data folder, page served, virtual-scanner works), "webagent trust" proven by headless Chromium
# loading the page over HTTPS with certificate errors NOT ignored (and failing before trust and
# after untrust), a clean stop, an upgrade, and a purge that leaves nothing behind.
#
# usage: packaging/test-package.sh BUILD_DIR      (as root; the build must be done already)
#
# The part that runs the agent goes into a network namespace of its own (tests/isolated.sh), so
# it never meets another agent on this machine's loopback.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

fail() { printf 'package test FAILED: %s\n' "$*" >&2; exit 1; }
say() { printf '[package] %s\n' "$*"; }

if [ "${1:-}" != "--inside" ]; then
  build="$(cd "${1:?usage: test-package.sh BUILD_DIR}" && pwd)"
  [ "$(id -u)" -eq 0 ] || fail "needs root (dpkg -i, a test user)"
  say "building the package"
  rm -rf "$build/packages"
  (cd "$build" && cpack -G DEB >/dev/null)
  deb="$(ls "$build"/packages/webagent_*.deb)"
  say "lintian $(basename "$deb")"
  lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1 | grep -v 'root privileges' || true
  lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || fail "lintian reports warnings or errors"
  exec "$here/tests/isolated.sh" bash "$0" --inside "$deb"
fi

deb="$2"
export LC_ALL=C.UTF-8
version="$(dpkg-deb -f "$deb" Version)"
if dpkg-query -W -f='${Status}' webagent 2>/dev/null | grep -q installed; then
  fail "a webagent package is installed on this machine already; purge it first"
fi

tmp="$(mktemp -d /tmp/webagent-package.XXXXXX)"
chmod 755 "$tmp"
user="wa-pkg-$$"
agent_pid=""
cleanup() {
  set +e
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  dpkg-query -W webagent >/dev/null 2>&1 && dpkg --purge webagent >/dev/null 2>&1
  id "$user" >/dev/null 2>&1 && userdel -r "$user" >/dev/null 2>&1
  rm -rf "$tmp"
}
trap cleanup EXIT

# What the package owns, and which of its folders exist before it comes (those must stay).
mapfile -t owned < <(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$')
existing_before=()
for path in "${owned[@]}"; do
  [ -e "$path" ] && existing_before+=("$path")
done

say "dpkg -i (version $version)"
dpkg -i "$deb" >/dev/null
[ "$(/usr/bin/webagent --version)" = "webagent $version" ] || fail "--version does not say $version"
/usr/bin/webagent --no-such-option 2>/dev/null && fail "an unknown option was accepted"
verify="$(systemd-analyze verify /usr/lib/systemd/user/webagent.service 2>&1)" ||
  fail "systemd-analyze verify: $verify"
[ "$(readlink -f /usr/lib/systemd/user/default.target.wants/webagent.service)" = \
  /usr/lib/systemd/user/webagent.service ] || fail "the user unit is not enabled for logins"
grep -q 'TAG+="uaccess"' /usr/lib/udev/rules.d/70-webagent-scanners.rules || fail "no udev rule"

# An ordinary user with a fresh home and a runtime folder of its own.
home="$tmp/home"
run="$tmp/run"
useradd --home-dir "$home" --create-home --shell /bin/sh "$user"
mkdir -m 700 "$run" && chown "$user:" "$run"
as_user() { (exec_as_user "$@"); }
exec_as_user() {
  exec setpriv --reuid "$user" --regid "$user" --init-groups \
    env -i HOME="$home" USER="$user" LOGNAME="$user" XDG_RUNTIME_DIR="$run" \
    PATH=/usr/bin:/bin LC_ALL=C.UTF-8 "$@"
}

# start_agent ARGS...: starts the installed agent as the user and waits for its banner.
start_agent() {
  (exec_as_user /usr/bin/webagent "$@" >"$tmp/agent.out" 2>"$tmp/agent.err") &
  agent_pid=$!  # the agent itself: the subshell became it through exec
  for _ in $(seq 1 600); do
    grep -q "Tessaro Web Agent is running now" "$tmp/agent.out" 2>/dev/null && return 0
    kill -0 "$agent_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$tmp/agent.out" "$tmp/agent.err" >&2
  fail "the installed agent did not start"
}
# stop_agent: SIGTERM, as systemd stops the unit; the agent must end with status 0.
stop_agent() {
  kill -TERM "$agent_pid"
  local status=0
  wait "$agent_pid" || status=$?
  agent_pid=""
  [ "$status" -eq 0 ] || fail "the agent ended with status $status after SIGTERM"
}

say "starting the installed agent as $user"
start_agent --allow-origin https://app.example.com
grep -q "pages of https://app.example.com may use the agent" "$tmp/agent.err" ||
  fail "the allowed origin was not taken"

data="$home/.local/share/webagent"
for file in ca.crt ca.key localhost_cert.crt localhost_cert.key; do
  [ -f "$data/$file" ] || fail "$data/$file was not made"
  [ "$(stat -c %U "$data/$file")" = "$user" ] || fail "$file does not belong to $user"
done
[ "$(stat -c %a "$data")" = 700 ] || fail "the data folder is not private"
[ "$(stat -c %a "$data/ca.key")" = 600 ] && [ "$(stat -c %a "$data/localhost_cert.key")" = 600 ] ||
  fail "a key is readable by others"
openssl verify -CAfile "$data/ca.crt" "$data/localhost_cert.crt" >/dev/null || fail "chain"

say "the page over HTTP and over HTTPS (verified against the user's authority)"
# (Replies are read whole before they are looked at: grep -q would cut the pipe early.)
page="$(curl -fsS http://127.0.0.1:8084/)" || fail "page (HTTP)"
grep -q '<title>Fingerprint Web Agent</title>' <<<"$page" || fail "page (HTTP): $page"
for host in 127.0.0.1 localhost; do
  page="$(curl -fsS --cacert "$data/ca.crt" --resolve "localhost:8083:127.0.0.1" \
    "https://$host:8083/")" || fail "page over HTTPS at $host"
  grep -q 'Fingerprint Web Agent' <<<"$page" || fail "page over HTTPS at $host: $page"
done
curl -fsS -o "$tmp/webagent.js" http://127.0.0.1:8084/js/webagent.js &&
  cmp -s "$tmp/webagent.js" /usr/share/webagent/html/js/webagent.js ||
  fail "/js/webagent.js differs from the installed client"
reply="$(curl -fsS "http://127.0.0.1:8084/api/initDevice?dummy=1")" || fail "initDevice"
grep -q '"ScannerCount" : 1' <<<"$reply" || fail "initDevice does not find the virtual scanner: $reply"

say "virtual-scanner"
list="$(as_user /usr/bin/virtual-scanner list)" && [ -n "$list" ] || fail "virtual-scanner list"
as_user /usr/bin/virtual-scanner lift 0 >/dev/null || fail "virtual-scanner lift"
as_user /usr/bin/virtual-scanner place 0 3 >/dev/null || fail "virtual-scanner place"

# Headless Chromium as the user, certificate errors not ignored. --dump-dom prints the page's
# DOM; over an untrusted certificate Chromium shows its interstitial instead of the page.
page_loads() {
  local profile
  profile="$(as_user mktemp -d "$home/chrome.XXXXXX")"
  local dom
  dom="$(as_user timeout 90 chromium --headless --no-sandbox --disable-gpu --no-first-run \
    --user-data-dir="$profile" --dump-dom "https://127.0.0.1:8083/" 2>/dev/null)" || true
  grep -q '<h1>Fingerprint Web Agent</h1>' <<<"$dom"
}
say "Chromium before 'webagent trust' (must refuse the page)"
page_loads && fail "Chromium loaded the page before the authority was trusted"
say "webagent trust"
# A Firefox profile as Firefox leaves it: an NSS SQL database in the profile folder.
firefox="$home/.mozilla/firefox/t3st.default-esr"
as_user mkdir -p "$firefox"
as_user certutil -N -d "sql:$firefox" --empty-password
as_user /usr/bin/webagent trust || fail "webagent trust"
for db in "$home/.pki/nssdb" "$firefox"; do
  as_user certutil -L -d "sql:$db" -n "Web Agent local authority" >/dev/null ||
    fail "the authority is not in $db"
done
say "Chromium after 'webagent trust' (must load the page)"
page_loads || fail "Chromium did not load the page over HTTPS after 'webagent trust'"
say "webagent untrust"
as_user /usr/bin/webagent untrust >/dev/null || fail "webagent untrust"
as_user certutil -L -d "sql:$firefox" -n "Web Agent local authority" >/dev/null 2>&1 &&
  fail "the authority is still in the Firefox profile"
page_loads && fail "Chromium still trusts the authority after 'webagent untrust'"

say "stopping the agent (SIGTERM, status 0)"
stop_agent

say "a second start with trust-browsers = yes: same authority, trusted by the agent itself"
ca_before="$(sha256sum <"$data/ca.crt")"
printf '# as an administrator would deploy it\ntrust-browsers = yes\n' >"$tmp/webagent.conf"
chmod 644 "$tmp/webagent.conf"
start_agent --config "$tmp/webagent.conf"
[ "$(sha256sum <"$data/ca.crt")" = "$ca_before" ] || fail "a second start made a new authority"
for db in "$home/.pki/nssdb" "$firefox"; do
  as_user certutil -L -d "sql:$db" -n "Web Agent local authority" >/dev/null ||
    fail "trust-browsers = yes did not add the authority to $db"
done
stop_agent
as_user /usr/bin/webagent untrust >/dev/null || fail "webagent untrust"

say "upgrade (dpkg -i again), then purge"
echo "# an administrator's note" >>/etc/xdg/webagent/webagent.conf
dpkg -i "$deb" >/dev/null
grep -q "an administrator's note" /etc/xdg/webagent/webagent.conf ||
  fail "an upgrade replaced the administrator's /etc/xdg/webagent/webagent.conf"
dpkg --purge webagent >/dev/null
left=()
for path in "${owned[@]}"; do
  keep=0
  for before in "${existing_before[@]}"; do [ "$path" = "$before" ] && keep=1; done
  if [ "$keep" -eq 0 ] && { [ -e "$path" ] || [ -L "$path" ]; }; then left+=("$path"); fi
done
[ "${#left[@]}" -eq 0 ] || fail "left behind after purge: ${left[*]}"
dpkg-query -W webagent >/dev/null 2>&1 && fail "dpkg still knows the package"
say "passed"
