#!/bin/sh
# Runs the soak program ($1) in a network namespace of its own with loopback
# up, room for many short-lived connections (the whole ephemeral range, and
# TIME_WAIT ports reused for new connects), and its far ends on loopback.
set -eu
exec unshare -n sh -c '
  ip link set lo up
  echo "1024 65535" > /proc/sys/net/ipv4/ip_local_port_range
  echo 1 > /proc/sys/net/ipv4/tcp_tw_reuse
  exec env ASYNFRAME_ISOLATED_NETWORK=1 "$0"' "$1"
