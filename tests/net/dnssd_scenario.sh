#!/usr/bin/env bash
# Runs inside a private network and mount namespace (unshare --net --mount): a D-Bus system
# bus and an avahi-daemon of our own on the loopback interface only, and the test host. mDNS
# cannot leave the namespace: its only interface is lo.
# Usage: dnssd_scenario.sh WORKDIR HOST_BINARY
set -u
work=$1
host=$2
cd "$work"

ip link set lo up
ip link set lo multicast on
mkdir -p /run/avahi-daemon
mount -t tmpfs tmpfs /run/avahi-daemon   # a pid file and socket of our own

cat > bus.conf <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
cat > avahi.conf <<CONF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-workstation=no
publish-hinfo=no
CONF
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus

dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile 2>/dev/null &
bus=$!
for _ in $(seq 100); do [ -S "$work/bus" ] && break; sleep 0.05; done

start_avahi() {
  avahi-daemon -f "$work/avahi.conf" --no-drop-root --no-chroot --no-rlimits >>avahi.log 2>&1 &
  avahi=$!
}

# Polls the browser until a line matching $1 appears (10 s at most).
expect_browse() {
  for _ in $(seq 40); do
    if timeout 5 avahi-browse -rpt _vantaframe._tcp 2>/dev/null | grep -F -- "$1" >/dev/null; then
      echo "FOUND $1"; return
    fi
    sleep 0.25
  done
  echo "MISSING $1"
}

expect_gone() {
  for _ in $(seq 40); do
    if ! timeout 5 avahi-browse -rpt _vantaframe._tcp 2>/dev/null | grep -F -- "$1" >/dev/null; then
      echo "GONE $1"; return
    fi
    sleep 0.25
  done
  echo "STILL $1"
}

mkfifo commands
"$host" <commands >host.log 2>&1 &
hostpid=$!
exec 4>commands

# Waits (10 s at most) for a line of the host's output.
wait_log() {
  for _ in $(seq 200); do grep -F -- "$1" host.log >/dev/null && return; sleep 0.05; done
}

# 1. No daemon yet: the host says so once and listens anyway.
wait_log "STATE first listening"
wait_log "STATE second listening"
echo ports >&4
wait_log "PORTS"
port=$(awk '/^PORTS/ {print $2}' host.log | tail -1)
if (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null; then echo "LISTENING without daemon"; fi

# 2. The daemon appears: both servers are published, the second under the alternative name.
start_avahi
expect_browse '=;lo;IPv4;Studio\032Lab\039s\032Box\032\0407f3a\041;_vantaframe._tcp;local;'
expect_browse '=;lo;IPv4;Studio\032Lab\039s\032Box\032\0407f3a\041\032\0352;_vantaframe._tcp;local;'
expect_browse '"n=Studio: Lab'"'"'s Box!"'
expect_browse '"id=7f3a9c0011223344"'
expect_browse '"os=linux"'
expect_browse '"v=1"'

# 3. The daemon restarts: said once more, published again.
kill "$avahi"; wait "$avahi" 2>/dev/null
sleep 1
start_avahi
expect_browse '=;lo;IPv4;Studio\032Lab\039s\032Box\032\0407f3a\041;_vantaframe._tcp;local;'

# 4. A restart of the server under a new name re-publishes under that name.
echo "rename Renamed Host" >&4
expect_browse '=;lo;IPv4;Renamed\032Host\032\0407f3a\041;_vantaframe._tcp;local;'
expect_browse '"n=Renamed Host"'

echo quit >&4
exec 4>&-
wait "$hostpid"
kill "$avahi" "$bus" 2>/dev/null
wait 2>/dev/null
echo "HOST LOG"
cat host.log
