#!/usr/bin/python3
"""The UDP sockets of the resolver tests' scripted responder, for the Windows
programs under wine.

Wine binds a UDP socket meant for one loopback address to the port on every
address, so a Windows program cannot hold 127.0.0.1, .2 and .3 on one port
with replies leaving from the address the test chooses. This relay holds those
three sockets as Linux sockets and passes every datagram to and from the
responder in the test program over a control socket:

  relay -> responder: server index (1 byte), sender address (4), port (2), payload
  responder -> relay: server index to send from (1), address (4), port (2), payload
  relay -> responder: "R" until the responder answers anything: ready
  responder -> relay: "Q": stop

Usage: udp_relay.py SERVER_PORT CONTROL_PORT
"""
import select
import socket
import sys


def main():
    port = int(sys.argv[1])
    controller = ("127.0.0.1", int(sys.argv[2]))
    servers = []
    for index in range(3):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.%d" % (index + 1), port))
        servers.append(s)
    control = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    control.bind(("127.0.0.1", 0))
    ready = False
    while True:
        if not ready:
            control.sendto(b"R", controller)
        # Ten minutes without a word: the test program is gone.
        readable, _, _ = select.select(servers + [control], [], [], 0.05 if not ready else 600)
        if not readable and ready:
            return
        for s in readable:
            data, sender = s.recvfrom(65536)
            if s is control:
                if sender != controller:
                    continue
                ready = True
                if data == b"Q":
                    return
                if len(data) < 7 or data[0] > 2:
                    continue
                address = socket.inet_ntoa(data[1:5])
                target_port = int.from_bytes(data[5:7], "big")
                servers[data[0]].sendto(data[7:], (address, target_port))
            else:
                header = bytes([servers.index(s)]) + socket.inet_aton(sender[0]) + sender[1].to_bytes(2, "big")
                control.sendto(header + data, controller)


if __name__ == "__main__":
    main()
