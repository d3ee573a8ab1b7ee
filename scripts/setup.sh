#!/usr/bin/env bash
# Installs everything the agent and its tests need on a Debian 12 machine, then builds
# Civetweb from Debian's own source package as a static library linked against OpenSSL 3.
# Safe to run again: each step is skipped when its result is already there.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
deps_dir="${WEBAGENT_DEPS_DIR:-/opt/webagent}"
civetweb_prefix="$deps_dir/civetweb"

log() { printf '[setup] %s\n' "$*"; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

packages=(
  build-essential cmake pkg-config git ca-certificates
  libssl-dev openssl libjsoncpp-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libx11-dev
  clang clang-format libclang-rt-14-dev
  python3 xvfb xdotool
  dpkg-dev iproute2 util-linux
  libfprint-2-dev libglib2.0-dev
)
# The Debian package and its test: lintian, certutil for "webagent trust", libfprint's list of
# supported USB scanners (its udev hwdb) for the generated udev rule, curl, and systemd for
# systemd-analyze (container images often come without it).
packages+=(lintian libnss3-tools libfprint-2-2 curl systemd)

# Browser test of the page: Debian's chromium; node and npm only when the machine has none
# (Debian's npm conflicts with node builds that bring their own npm).
packages+=(chromium)
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# Only what the agent uses: HTTP/HTTPS file serving and the request callback; no CGI, Lua or
# WebSockets. TLS is bound to OpenSSL 3 at link time instead of being loaded at run time, and
# the server's internal wait quantum is short so that stopping it takes a fraction of a second.
civetweb_flags="-O2 -fPIC -std=c99 -D_GNU_SOURCE -DOPENSSL_API_3_0 -DNO_SSL_DL -DNO_CGI -DNO_CACHING -DSOCKET_TIMEOUT_QUANTUM=100"
need_src=0
if [ ! -f "$civetweb_prefix/lib/libcivetweb.a" ] ||
   [ "$(cat "$civetweb_prefix/BUILD_FLAGS" 2>/dev/null)" != "$civetweb_flags" ]; then
  need_src=1
fi

if [ "${#missing[@]}" -gt 0 ] || [ "$need_src" -eq 1 ]; then
  # Civetweb is built from Debian's source package, so the suites need deb-src entries.
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      as_root sed -i 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources
    else
      as_root sh -c 'grep "^deb " /etc/apt/sources.list | sed "s/^deb /deb-src /" > /etc/apt/sources.list.d/webagent-src.list'
    fi
  fi
  log "updating package lists"
  as_root apt-get update -qq
fi

if [ "${#missing[@]}" -gt 0 ]; then
  log "installing: ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

if [ "$need_src" -eq 1 ]; then
  log "building Civetweb from Debian's source package (static, OpenSSL 3)"
  work="$deps_dir/civetweb-src"
  rm -rf "$work" && mkdir -p "$work"
  (cd "$work" && apt-get source -qq civetweb >/dev/null)
  src="$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'civetweb-*' | head -n 1)"
  [ -n "$src" ] || { echo "civetweb source not found" >&2; exit 1; }
  mkdir -p "$civetweb_prefix/lib" "$civetweb_prefix/include"
  # shellcheck disable=SC2086
  cc -c $civetweb_flags -I"$src/include" "$src/src/civetweb.c" -o "$work/civetweb.o"
  rm -f "$civetweb_prefix/lib/libcivetweb.a"
  ar rcs "$civetweb_prefix/lib/libcivetweb.a" "$work/civetweb.o"
  cp "$src/include/civetweb.h" "$civetweb_prefix/include/"
  printf '%s' "$civetweb_flags" > "$civetweb_prefix/BUILD_FLAGS"
  rm -rf "$work"
fi

log "ready (civetweb in $civetweb_prefix)"
