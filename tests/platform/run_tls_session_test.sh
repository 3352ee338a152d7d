#!/bin/sh
# Runs the TLS session test (tests/platform/tls_session_test.cpp) against
# `openssl s_server` peers on loopback: makes a CA and the servers'
# certificates in a temporary folder, starts one server per certificate,
# names them in the environment and runs the given command.
#
# Ports are fixed, so run it in a network of its own:
#   unshare -n sh -c 'ip link set lo up; tests/platform/run_tls_session_test.sh wine build/win/tls_session_test.exe'
#   unshare -n sh -c 'ip link set lo up; tests/platform/run_tls_session_test.sh build/tls_session_test'
set -eu

if [ $# -eq 0 ]; then
    echo "usage: $0 TEST-COMMAND [ARGUMENTS...]" >&2
    exit 2
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/asynframe-tls.XXXXXX")
pids=
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    for pid in $pids; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

quiet() { "$@" >>"$dir/openssl.log" 2>&1 || { cat "$dir/openssl.log" >&2; exit 1; }; }

# A CA, and leaves it signs; RSA, which every SChannel takes.
ca() { # NAME SUBJECT
    quiet openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "$2" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
        -keyout "$dir/$1.key" -out "$dir/$1.pem"
}
leaf() { # NAME CN SAN DAYS
    printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' \
        "$3" >"$dir/$1.ext"
    quiet openssl req -new -newkey rsa:2048 -nodes -subj "/CN=$2" -keyout "$dir/$1.key" -out "$dir/$1.csr"
    quiet openssl x509 -req -sha256 -days "$4" -in "$dir/$1.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
        -CAcreateserial -extfile "$dir/$1.ext" -out "$dir/$1.pem"
}

ca ca "/CN=asynframe session test CA"
ca decoy "/CN=asynframe unrelated CA"
cat "$dir/decoy.pem" "$dir/ca.pem" >"$dir/bundle.pem"
leaf leaf localhost "DNS:localhost,IP:127.0.0.1,IP:::1" 2
leaf other elsewhere.invalid "DNS:elsewhere.invalid" 2
# Valid until a day before it was made.
leaf expired localhost "DNS:localhost,IP:127.0.0.1" -1
quiet openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost -keyout "$dir/self.key" -out "$dir/self.pem"

# Each answers every line reversed and ends the session on "CLOSE".
serve() { # PORT NAME PROTOCOL...
    port=$1 name=$2
    shift 2
    openssl s_server -accept "127.0.0.1:$port" -cert "$dir/$name.pem" -key "$dir/$name.key" "$@" -rev -quiet \
        </dev/null >"$dir/server-$port.log" 2>&1 &
    pids="$pids $!"
}
serve 44301 leaf -tls1_2
serve 44302 other -tls1_2
serve 44303 self -tls1_2
serve 44304 expired -tls1_2
serve 44305 leaf -tls1_3
# Offers only what the client must refuse (security level 0 lets OpenSSL speak it).
serve 44306 leaf -no_tls1_2 -no_tls1_3 -cipher DEFAULT@SECLEVEL=0
# Asks for a client certificate without requiring one.
serve 44307 leaf -tls1_2 -verify 1
for port in 44301 44302 44303 44304 44305 44306 44307; do
    tries=0
    # 0A: listening, in the kernel's table of IPv4 TCP sockets.
    until grep -q ":$(printf %04X "$port") 00000000:0000 0A" /proc/net/tcp; do
        tries=$((tries + 1))
        if [ "$tries" -gt 100 ]; then
            echo "s_server on port $port did not start:" >&2
            cat "$dir/server-$port.log" >&2
            exit 1
        fi
        sleep 0.1
    done
done

export ASYNFRAME_TEST_TLS_DIR="$dir"
export ASYNFRAME_TEST_TLS_PORT=44301
export ASYNFRAME_TEST_TLS_OTHER_PORT=44302
export ASYNFRAME_TEST_TLS_SELF_PORT=44303
export ASYNFRAME_TEST_TLS_EXPIRED_PORT=44304
export ASYNFRAME_TEST_TLS13_PORT=44305
export ASYNFRAME_TEST_TLS11_PORT=44306
export ASYNFRAME_TEST_TLS_ASKING_PORT=44307
# wine hands the environment to the Windows program; the folder is read as Z:.
status=0
"$@" || status=$?
if [ "$status" -ne 0 ]; then
    for log in "$dir"/server-*.log; do
        echo "--- $log" >&2
        tail -n 20 "$log" >&2
    done
fi
exit "$status"
