#!/bin/sh
# The main job behind `make demo`: 256 MiB of random bytes served by afserve on
# loopback, fetched by afget over 4 connections, once at full speed and once
# under a rate limit, then over TLS; every copy checked by its SHA-256.
# Usage: tools/demo.sh [build folder]   (default build/default)
set -eu
build=${1:-build/default}
tools=$build/tools
size_mib=256
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

"$tools/afserve/afserve" "$work/www" --port 0 --quiet > "$work/afserve.log" 2>&1 &
server=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/.* on port \([0-9]*\)$/\1/p' "$work/afserve.log")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "demo: afserve did not start" >&2; cat "$work/afserve.log" >&2; exit 1; }
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

# afserve has no TLS server (the library's TLS is a client): nginx serves the
# same file over TLS with a certificate made here, so afget's HTTPS is checked.
tls="skipped: nginx or openssl missing"
if [ -x /usr/sbin/nginx ] && command -v openssl > /dev/null; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -addext subjectAltName=DNS:localhost \
    -keyout "$work/key.pem" -out "$work/cert.pem" > /dev/null 2>&1
  # Below the ephemeral range, so that no client connection holds it.
  tls_port=$((20000 + $$ % 10000))
  cat > "$work/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1; pid $work/nginx.pid; error_log $work/nginx.log;
$( [ "$(id -u)" = 0 ] && echo "user root;" )
events { worker_connections 64; }
http { access_log off; client_body_temp_path $work/tmp; proxy_temp_path $work/tmp;
  fastcgi_temp_path $work/tmp; uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;
  server { listen 127.0.0.1:$tls_port ssl; root $work/www;
    ssl_certificate $work/cert.pem; ssl_certificate_key $work/key.pem; } }
CONF
  /usr/sbin/nginx -c "$work/nginx.conf" -p "$work" > /dev/null 2>&1 &
  tls_server=$!
  for _ in $(seq 100); do
    kill -0 "$tls_server" 2> /dev/null || break
    curl -sk -o /dev/null -w '%{http_code}' "https://127.0.0.1:$tls_port/" 2> /dev/null | grep -q '^[1-5]' && break
    sleep 0.05
  done
  start=$(now)
  if "$tools/afget/afget" -c 4 --cacert "$work/cert.pem" --progress none -o "$work/out/tls.bin" \
       "https://localhost:$tls_port/demo.bin" > /dev/null 2> "$work/tls.err"; then
    tls="$(rate "$start" "$(now)") (served by nginx: afserve has no TLS server yet)"
    check "$work/out/tls.bin"
  elif grep -q "HTTPS is not available" "$work/tls.err"; then
    tls="skipped: the library's TLS client is not built yet"
  else
    cat "$work/tls.err" >&2
    exit 1
  fi
fi

echo "demo: summary, $size_mib MiB each, SHA-256 checked"
echo "  plain, 4 connections:             $plain"
echo "  limited to $limit/s, 4 connections: $limited"
echo "  TLS, 4 connections:               $tls"
