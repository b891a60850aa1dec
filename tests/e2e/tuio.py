# SPDX-License-Identifier: GPL-3.0-or-later
"""Fingers on a touch screen as the TUIO protocol sends them: OSC bundles of the 2D cursor
profile over UDP on loopback, which Qt's tuiotouch input plugin turns into touch events for
the focused window. Positions are fractions of that window, 0 to 1 from its top left."""

import socket
import struct


def osc_string(text):
    data = text.encode() + b"\0"
    return data + b"\0" * (-len(data) % 4)


def osc_message(address, *args):
    tags, body = ",", b""
    for arg in args:
        if isinstance(arg, str):
            tags, body = tags + "s", body + osc_string(arg)
        elif isinstance(arg, int):
            tags, body = tags + "i", body + struct.pack(">i", arg)
        else:
            tags, body = tags + "f", body + struct.pack(">f", arg)
    return osc_string(address) + osc_string(tags) + body


def osc_bundle(*messages):
    # Time tag 1: "immediately".
    return osc_string("#bundle") + struct.pack(">II", 0, 1) + b"".join(
        struct.pack(">i", len(message)) + message for message in messages)


class TouchScreen:
    """The fingers down now, by id; every change goes out as one frame listing all of them."""

    def __init__(self, port, host="127.0.0.1"):
        self.address = (host, port)
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.fingers, self.frame, self.next_id = {}, 0, 1

    def close(self):
        self.socket.close()

    def send(self):
        self.frame += 1
        profile = "/tuio/2Dcur"
        messages = [osc_message(profile, "source", "tamboro-e2e@localhost"),
                    osc_message(profile, "alive", *sorted(self.fingers))]
        messages += [osc_message(profile, "set", finger, float(x), float(y), 0.0, 0.0, 0.0)
                     for finger, (x, y) in sorted(self.fingers.items())]
        messages.append(osc_message(profile, "fseq", self.frame))
        self.socket.sendto(osc_bundle(*messages), self.address)

    def down(self, *points):
        """Fingers landing together at (x, y) fractions of the window; their ids, to lift them."""
        ids = []
        for point in points:
            self.fingers[self.next_id] = point
            ids.append(self.next_id)
            self.next_id += 1
        self.send()
        return ids

    def move(self, finger, point):
        self.fingers[finger] = point
        self.send()

    def up(self, *fingers):
        for finger in fingers or list(self.fingers):
            self.fingers.pop(finger, None)
        self.send()
