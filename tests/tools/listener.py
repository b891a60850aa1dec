# SPDX-License-Identifier: GPL-3.0-or-later
"""A listener on 127.0.0.1:PORT that stands for another user's program: it says it listens
with an empty line, takes no connection, and once its stdin closes prints how many
connections were offered to it."""
import socket
import sys

listener = socket.create_server(("127.0.0.1", int(sys.argv[1])))
print(flush=True)
sys.stdin.read()
listener.setblocking(False)
offered = 0
try:
    while listener.accept():
        offered += 1
except BlockingIOError:
    print(offered, flush=True)
