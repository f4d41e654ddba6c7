#!/usr/bin/env python3
"""systemd's end of a Type=notify unit's notification socket, for the package test, where
systemd is not PID 1: binds a datagram socket at PATH that any account may write to, and
appends every state it receives to LOG as "TIME STATE" (TIME in seconds since the epoch,
as bash's $EPOCHREALTIME), one line each, until it is killed.

    notify-socket.py PATH LOG
"""
import os
import socket
import sys
import time

path, log = sys.argv[1], sys.argv[2]
try:
    os.unlink(path)
except FileNotFoundError:
    pass
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(path)
os.chmod(path, 0o666)
with open(log, "a", buffering=1, encoding="utf-8") as out:
    while True:
        datagram = sock.recv(4096)
        for state in datagram.decode("utf-8", "replace").splitlines():
            out.write(f"{time.time():.3f} {state}\n")
