#!/usr/bin/env bash
# The Windows program behind the proxy Windows names: the test prefix's
# Internet Settings name a manual proxy (tests/wine/connectproxy.py on
# loopback), and the service is named by host names that this machine maps to
# loopback (Qt never sends a loopback address or "localhost" through a
# proxy). Its identify polls, the sign-in, the public-address lookup and the
# registration must all come through the proxy's tunnels, which reach the
# service from 127.0.0.2; with the proxy down nothing may reach the service
# around it, and once it is back the next poll comes through it.
#
# Usage: proxy.sh SESSION PREFIX PROGRAM REFSERVICE_SCRIPT TEST_CA_DIR
#   PROGRAM talks to https://service.tessaly.test and
#   https://address.tessaly.test and trusts the system's roots, which include
#   the CA in TEST_CA_DIR (ca.pem, ca.key) for this run; SESSION is
#   scripts/session.sh. Runs in network and mount namespaces of its own.
set -euo pipefail

session=$1 prefix=$2 program=$3 refservice=$4 test_ca=$5
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${TESSALY_IN_NETNS:-}" ]; then
    # In a chroot "/" is no mount point: leave propagation as it is (private in the leg).
    exec env TESSALY_IN_NETNS=1 unshare --net --mount --propagation unchanged bash "$0" "$@"
fi
ip link set lo up
work=$(mktemp -d)
pids=() session_pid=
finish() {
    touch "$work/done"
    [ -z "$session_pid" ] || wait "$session_pid"
    kill "${pids[@]}" 2>/dev/null
    rm -rf "$work"
}
trap finish EXIT
fail() { echo "FAIL: $*"; exit 1; }
names=(service.tessaly.test address.tessaly.test)
printf '127.0.0.1 localhost %s\n' "${names[*]}" >"$work/hosts"
mount --bind "$work/hosts" /etc/hosts

# The service's certificate names the hosts, issued by the CA the system trusts.
state=$work/state
mkdir "$state" && cp "$test_ca/ca.pem" "$test_ca/ca.key" "$state/"
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=service.tessaly.test \
    -keyout "$state/server.key" -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=DNS:localhost,DNS:%s,DNS:%s\nextendedKeyUsage=serverAuth\n' "${names[@]}" >"$work/server.ext"
openssl x509 -req -in "$work/server.csr" -CA "$state/ca.pem" -CAkey "$state/ca.key" -days 30 \
    -extfile "$work/server.ext" -out "$state/server.pem" 2>/dev/null

python3 "$refservice" serve --port 443 --host 127.0.0.1 --state-dir "$state" >"$work/service.out" 2>"$work/service.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/service.out" ] && break; sleep 0.1; done
[ -s "$work/service.out" ] || { cat "$work/service.log"; fail "the reference service did not start"; }
service() { python3 "$refservice" "$@" --url https://localhost:443 --state-dir "$state"; }
service config '{"identify": true}' >/dev/null || fail "could not configure the service"
# Every request the service has recorded, one line each: "client path".
recorded() {
    service requests --json | python3 -c '
import json, sys
for r in json.load(sys.stdin): print(r["client"], r["path"])'
}
start_proxy() {
    python3 "$here/connectproxy.py" "$work/tunnels.log" "$@" >"$work/proxy.out" &
    proxy=$!
    pids+=($proxy)
    for _ in $(seq 50); do [ -s "$work/proxy.out" ] && break; sleep 0.1; done
    port=$(head -1 "$work/proxy.out")
    [ -n "$port" ] || fail "the proxy did not start"
}
# Waits up to $1 s until the service has recorded $2 requests to $3.
wait_for() {
    for _ in $(seq "$1"); do
        [ "$(recorded | grep -c " $3$")" -ge "$2" ] && return 0
        kill -0 "$session_pid" 2>/dev/null || return 1
        sleep 1
    done
    return 1
}
start_proxy

# What the Internet Settings page writes for a manual proxy: the values
# wininet reads, and the connection settings WinHTTP reads (Qt asks WinHTTP).
settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
connection=$(python3 -c '
import struct, sys
proxy, bypass = sys.argv[1].encode(), b"<local>"
blob = struct.pack("<3I", 0x46, 1, 3)  # format, counter, direct | manual proxy
for text in (proxy, bypass, b""):      # proxy, bypass list, no configuration script
    blob += struct.pack("<I", len(text)) + text
print((blob + bytes(32)).hex())' "127.0.0.1:$port")

export program settings connection port work
"$session" --tray --sound --wine "$prefix" bash -c '
    wine reg add "$settings" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null &&
    wine reg add "$settings" /v ProxyServer /t REG_SZ /d "127.0.0.1:$port" /f >/dev/null &&
    wine reg add "$settings" /v ProxyOverride /t REG_SZ /d "<local>" /f >/dev/null &&
    wine reg add "$settings\\Connections" /v DefaultConnectionSettings /t REG_BINARY /d "$connection" /f >/dev/null ||
        { echo "FAIL: could not write the Internet Settings"; exit 1; }
    wine "$program" >"$work/program.log" 2>&1 &
    window=$(timeout 120 xdotool search --sync --onlyvisible --name "^Tessaly$" | head -1)
    [ -n "$window" ] || { echo "FAIL: no window"; cat "$work/program.log"; exit 1; }
    xdotool windowfocus --sync "$window" 2>/dev/null || true
    xdotool mousemove --window "$window" 110 55 click 1 sleep 0.2 type --delay 40 "demo"
    xdotool mousemove --window "$window" 110 95 click 1 sleep 0.2 type --delay 40 "demo"
    xdotool mousemove --window "$window" 110 135 click 1
    while [ ! -e "$work/done" ]; do sleep 0.5; done' &
session_pid=$!

wait_for 120 1 /api/devices && wait_for 60 1 /api/ping-identify ||
    { recorded; cat "$work/tunnels.log" 2>/dev/null; fail "no sign-in, registration and identify poll within 3 minutes"; }
direct=$(recorded | grep -vc '^127\.0\.0\.2 ' || true)
[ "$direct" = 0 ] || { recorded; fail "$direct request(s) reached the service around the proxy"; }
for path in /login / /api/devices /api/ping-identify; do
    recorded | grep -q " $path$" || fail "no $path through the proxy"
done
for name in "${names[@]}"; do
    grep -qx "CONNECT $name:443" "$work/tunnels.log" || fail "no tunnel to $name"
done
echo "through the proxy's tunnels: $(recorded | awk '{ print $2 }' | sort | uniq -c | xargs)"

# With the proxy down, nothing reaches the service: two poll intervals.
kill "$proxy"
before=$(recorded | wc -l)
sleep 35
[ "$(recorded | wc -l)" = "$before" ] || { recorded | tail -n +"$((before + 1))"; fail "requests reached the service with the proxy down"; }
polls=$(recorded | grep -c ' /api/ping-identify$')
start_proxy "$port"
wait_for 60 "$((polls + 1))" /api/ping-identify || fail "no identify poll through the proxy once it was back"
[ "$(recorded | grep -vc '^127\.0\.0\.2 ' || true)" = 0 ] || fail "requests reached the service around the proxy"
echo "with the proxy down for 35 s nothing reached the service; once it was back the next poll came through it"
echo "PASS: proxy"
