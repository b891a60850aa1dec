#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Turn a line of lettering into SVG path data so the artwork renders the same
on machines that lack the display font.

usage: text2path.py FONT SIZE X Y TEXT [TRACKING]
         Prints one path "d" attribute; X,Y is the left end of the baseline and
         TRACKING is extra space between letters in pixels.
       text2path.py --batch < LINES
         Each line is ID|FONT|SIZE|X|Y|ALIGN|TEXT with ALIGN l, c or r (X is
         then the left end, centre or right end); prints one <path id=ID>
         element per line.
"""
import sys
from fontTools.ttLib import TTFont
from fontTools.pens.svgPathPen import SVGPathPen
from fontTools.pens.transformPen import TransformPen


def text_path(font_file, size, x, y, text, tracking=0.0):
    font = TTFont(font_file)
    glyphs = font.getGlyphSet()
    cmap = font.getBestCmap()
    scale = size / font["head"].unitsPerEm
    hmtx = font["hmtx"]
    svg = SVGPathPen(glyphs, ntos=lambda v: f"{v:.1f}".rstrip("0").rstrip("."))
    pen_x = x
    for ch in text:
        name = cmap.get(ord(ch))
        if name is None:
            continue
        pen = TransformPen(svg, (scale, 0, 0, -scale, pen_x, y))
        glyphs[name].draw(pen)
        pen_x += hmtx[name][0] * scale + tracking
    return svg.getCommands(), pen_x - x - tracking


def batch(lines):
    for line in lines:
        line = line.rstrip("\n")
        if not line or line.startswith("#"):
            continue
        ident, font, size, x, y, align, text = line.split("|", 6)
        _, width = text_path(font, float(size), 0, 0, text)
        left = float(x) - {"l": 0, "c": width / 2, "r": width}[align]
        d, _ = text_path(font, float(size), left, float(y), text)
        print(f'<path id="{ident}" d="{d}"/>')


if __name__ == "__main__":
    args = sys.argv[1:]
    if args == ["--batch"]:
        batch(sys.stdin)
        sys.exit(0)
    if len(args) < 5:
        sys.exit(__doc__)
    d, width = text_path(args[0], float(args[1]), float(args[2]), float(args[3]),
                         args[4], float(args[5]) if len(args) > 5 else 0.0)
    sys.stderr.write(f"advance width {width:.1f}\n")
    print(d)
