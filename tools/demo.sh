#!/bin/sh
# The main job behind `make demo`: 256 MiB of random bytes served by afserve on
# loopback, fetched by afget over 4 connections, once at full speed and once
# under a rate limit, then over TLS from afserve with a certificate made here;
# every copy checked by its SHA-256.
# Usage: tools/demo.sh [build folder]   (default build/default)
set -eu
build=${1:-build/default}
tools=$build/tools
size_mib=${DEMO_MIB:-256}  # DEMO_MIB: a smaller run, as the tool tests make
limit=64M
work=$(mktemp -d /tmp/asynframe-demo.XXXXXX)
server=""
tls_server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  [ -n "$tls_server" ] && kill "$tls_server" 2>/dev/null && wait "$tls_server" 2>/dev/null
  [ -n "${DEMO_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT INT TERM

now() { date +%s.%N; }
# seconds and MiB/s between two times
rate() { awk -v a="$1" -v b="$2" -v m="$size_mib" 'BEGIN { t = b - a; printf "%.2f s, %.0f MiB/s", t, m / t }'; }
check() {
  got=$(sha256sum "$1" | cut -d' ' -f1)
  if [ "$got" != "$expected" ]; then echo "demo: SHA-256 of $1 differs" >&2; exit 1; fi
}

mkdir -p "$work/www" "$work/out"
echo "demo: writing $size_mib MiB of random bytes"
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/www/demo.bin"
expected=$(sha256sum "$work/www/demo.bin" | cut -d' ' -f1)

# start_server VARIABLE LOG [afserve options]: afserve on a free port, its
# process id in VARIABLE and its port in $port.
start_server() {
  variable=$1 log=$2
  shift 2
  "$tools/afserve/afserve" "$work/www" --port 0 --quiet "$@" > "$log" 2>&1 &
  eval "$variable=$!"
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^afserve: serving .* port \([0-9]*\).*$/\1/p' "$log" 2>/dev/null || true)
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "demo: afserve did not start" >&2; cat "$log" >&2; exit 1; }
}

start_server server "$work/afserve.log"
url=http://127.0.0.1:$port/demo.bin
echo "demo: afserve serves $work/www on port $port"

start=$(now)
"$tools/afget/afget" -c 4 --progress none -o "$work/out/plain.bin" "$url" > /dev/null
plain=$(rate "$start" "$(now)")
check "$work/out/plain.bin"
rm -f "$work/out/plain.bin"

start=$(now)
"$tools/afget/afget" -c 4 --limit $limit --progress none -o "$work/out/limited.bin" "$url" > /dev/null
limited=$(rate "$start" "$(now)")
check "$work/out/limited.bin"
rm -f "$work/out/limited.bin"

# The same file over HTTPS: afserve with a certificate made here for
# localhost, afget trusting exactly that certificate.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -addext subjectAltName=DNS:localhost \
  -keyout "$work/key.pem" -out "$work/cert.pem" > /dev/null 2>&1 \
  || { echo "demo: openssl could not make a certificate" >&2; exit 1; }
start_server tls_server "$work/afserve-tls.log" --tls "$work/cert.pem" "$work/key.pem"
start=$(now)
"$tools/afget/afget" -c 4 --cacert "$work/cert.pem" --progress none -o "$work/out/tls.bin" \
  "https://localhost:$port/demo.bin" > /dev/null
tls=$(rate "$start" "$(now)")
check "$work/out/tls.bin"
rm -f "$work/out/tls.bin"

echo "demo: summary, $size_mib MiB each, SHA-256 checked"
echo "  plain, 4 connections:             $plain"
echo "  limited to $limit/s, 4 connections: $limited"
echo "  TLS, 4 connections:               $tls"
