#!/usr/bin/env bash
# Runs inside a private network and mount namespace (unshare --net --mount): the only name
# server is one of our own on loopback that reads queries and never answers, so every lookup of
# a name waits for the resolver's 30-second time-out. The client opens with a 5-second time-out.
# Usage: slow_dns_scenario.sh WORKDIR CLIENT_BINARY
set -eu
work=$1
client=$2

ip link set lo up
printf 'nameserver 127.0.0.1\noptions timeout:30 attempts:1\n' >"$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf

python3 -u -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 53))
print("READY", flush=True)
while True:
    s.recvfrom(4096)
' >"$work/dns.out" &
dns=$!
for _ in $(seq 100); do grep -q READY "$work/dns.out" 2>/dev/null && break; sleep 0.05; done

status=0
"$client" --host never-answered.test --port 80 --key "$(printf '%064d' 0)" --seconds 1 || status=$?
echo "CLIENT EXIT $status"
kill "$dns"
