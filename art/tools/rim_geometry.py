#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Print the stone outlines of the hole rim (pasted into src/rim.svg).

The ring lies between the opening ellipse (the card shows through it) and a
lumpy outer edge; it is cut into stones of uneven width so it reads as rock
rather than a tyre.
"""
import math
import random

CX, CY = 68.0, 58.0          # centre of the opening and of the card oval
IRX, IRY = 50.0, 40.0        # opening
OCX, OCY = 68.0, 59.0        # outer edge, slightly lower: the front lip is thicker
ORX, ORY = 64.5, 54.0

random.seed(7)


def inner(a):
    return CX + IRX * math.cos(a), CY + IRY * math.sin(a)


def outer(a, k=1.0):
    return OCX + ORX * k * math.cos(a), OCY + ORY * k * math.sin(a)


def fmt(p):
    return f"{p[0]:.1f} {p[1]:.1f}"


cuts = []
a = -math.pi / 2 + 0.12
while a < 1.5 * math.pi + 0.12 - 0.3:
    cuts.append(a)
    a += random.uniform(0.32, 0.52)
cuts.append(1.5 * math.pi + 0.12)

for i in range(len(cuts) - 1):
    a0, a1 = cuts[i] + 0.015, cuts[i + 1] - 0.015
    am = (a0 + a1) / 2
    bulge = random.uniform(1.0, 1.05)
    steps = 6
    inner_pts = [inner(a0 + (a1 - a0) * s / steps) for s in range(steps + 1)]
    o0 = outer(a0, 0.97)
    o1 = outer(a1, 0.97)
    c0 = outer(a0 + (a1 - a0) * 0.2, bulge + 0.02)
    c1 = outer(a0 + (a1 - a0) * 0.8, bulge + 0.02)
    d = f"M{fmt(inner_pts[0])} L{fmt(o0)} C{fmt(c0)} {fmt(c1)} {fmt(o1)} L{fmt(inner_pts[-1])} "
    d += "".join(f"L{fmt(p)} " for p in reversed(inner_pts[:-1]))
    print(f'<path d="{d.strip()}Z"/>')
