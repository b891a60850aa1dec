# SPDX-License-Identifier: GPL-3.0-or-later
"""Bodies served by the local ad network: the ad replies in every test mode and
the small HTML pages of the network and the score board."""

import html
import os
import struct
import zlib
from xml.sax.saxutils import escape, quoteattr

DEVELOPER = "Kelto"
# Served by the image handler rather than read from the ads folder.
BROKEN_IMAGE = "broken.png"
HUGE_IMAGE = "huge.gif"
GIANT_IMAGE = "giant.gif"
RESERVED_IMAGES = (BROKEN_IMAGE, HUGE_IMAGE, GIANT_IMAGE)

_SLOGANS = (
    "Fresh fruit smoothies, delivered before the monkeys find them",
    "Jungle Tours: two nights, eight holes, no escapes",
    "Banana Bank: your savings grow while you tap",
    "Learn the drums in ten seconds a day",
    "Hammock Hut: the comfiest hammocks in the valley",
)

_STORE_GAMES = (
    ("Tamboro 2", "Tap the monkeys before they hide again."),
    ("Lagoon Hopper", "Guide a frog across a lagoon of moving lily pads."),
    ("Pebble Towers", "Stack smooth pebbles as high as the wind allows."),
    ("Night Owl Post", "Deliver letters by owl before sunrise."),
)


class Ad:
    def __init__(self, index, file_name):
        self.file_name = file_name
        self.name = os.path.splitext(file_name)[0]
        self.text = _SLOGANS[index % len(_SLOGANS)]


def scan_ads(ads_dir):
    try:
        names = sorted(os.listdir(ads_dir))
    except FileNotFoundError:
        names = []
    files = [n for n in names
             if not n.startswith(".") and n not in RESERVED_IMAGES
             and os.path.isfile(os.path.join(ads_dir, n))]
    return [Ad(i, n) for i, n in enumerate(files)]


def _ad_element(base, ad, image=True, tag=("text", "url", "image"), url=None, image_url=None):
    text_tag, url_tag, image_tag = tag
    url = url if url is not None else f"{base}/landing/{ad.name}"
    image_url = image_url if image_url is not None else f"{base}/ads/{ad.file_name}"
    parts = [f"<{text_tag}>{escape(ad.text)}</{text_tag}>",
             f"<{url_tag}>{escape(url)}</{url_tag}>"]
    if image:
        parts.append(f"<{image_tag}>{escape(image_url)}</{image_tag}>" if image_url
                     else f"<{image_tag}/>")
    return "<ad>" + "".join(parts) + "</ad>"


def _document(client, *children, doctype=""):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n' + doctype + "<response>"
            + client + "".join(children) + "</response>\n").encode("utf-8")


def _client(client_id, attribute="Id"):
    return f"<client {attribute}={quoteattr(client_id)}/>"


def _billion_laughs():
    lines = ['<!ENTITY lol0 "lol">']
    for level in range(1, 10):
        lines.append(f'<!ENTITY lol{level} "' + f"&lol{level - 1};" * 10 + '">')
    return "<!DOCTYPE response [\n" + "\n".join(lines) + "\n]>\n"


def ad_reply(mode, base, ad, client_id):
    """The XML body of an ad reply for every mode whose body fits in memory."""
    client = _client(client_id)
    if mode == "empty":
        return b'<?xml version="1.0"?><response/>\n'
    if mode == "noimage":
        return _document(client, _ad_element(base, ad, image=False))
    if mode == "emptyimage":
        return _document(client, _ad_element(base, ad, image_url=""))
    if mode == "lowercaseid":
        return _document(_client(client_id, "id"), _ad_element(base, ad))
    if mode == "upper":
        return _document(client, _ad_element(base, ad, tag=("TEXT", "URL", "IMAGE")))
    if mode == "twoads":
        second = f"<ad><text>{escape(ad.text)} (second)</text></ad>"
        return _document(client, _ad_element(base, ad), second)
    if mode == "spaces":
        return _document(client, _ad_element(base, ad, url=f"   \n  {base}/landing/{ad.name}"))
    if mode == "entities":
        ad_xml = _ad_element(base, ad).replace(escape(ad.text), "&lol9;")
        return _document(client, ad_xml, doctype=_billion_laughs())
    if mode == "fileurl":
        return _document(client, _ad_element(base, ad, url="file:///etc/passwd"))
    if mode == "jsurl":
        return _document(client, _ad_element(base, ad, url="javascript:alert(1)"))
    if mode == "fileimage":
        return _document(client, _ad_element(base, ad, image_url="file:///etc/passwd"))
    if mode == "ftpimage":
        return _document(client, _ad_element(base, ad, image_url="ftp://127.0.0.1/x.gif"))
    if mode == "badimage":
        return _document(client, _ad_element(base, ad, image_url=f"{base}/ads/{BROKEN_IMAGE}"))
    if mode == "hugeimage":
        return _document(client, _ad_element(base, ad, image_url=f"{base}/ads/{HUGE_IMAGE}"))
    if mode == "giantpicture":
        return _document(client, _ad_element(base, ad, image_url=f"{base}/ads/{GIANT_IMAGE}"))
    if mode == "longid":
        return _document(_client("C" * 900_000), _ad_element(base, ad))
    if mode == "commented":
        pairs = " ".join(f"k{i}=v{i}" for i in range(65))
        extra = f"<!-- <note {pairs}> --><![CDATA[ <note {pairs}> ]]><?note <x {pairs}> ?>"
        return _document(client, extra, _ad_element(base, ad).replace("<ad>", "<ad>" + extra))
    if mode == "dtdattributes":
        # 1000 default attributes land on each of 240,000 empty elements.
        defaults = " ".join(f'a{i} CDATA "v"' for i in range(1000))
        doctype = f"<!DOCTYPE response [<!ATTLIST x {defaults}>]>\n"
        return _document(client, "<x/>" * 240_000, _ad_element(base, ad), doctype=doctype)
    if mode == "entitytext":
        # Each entity stays under the parser's own limit; together they come to 1.3 G characters.
        doctype = '<!DOCTYPE response [<!ENTITY e "' + "A" * 4000 + '">]>\n'
        ad_xml = _ad_element(base, ad).replace(escape(ad.text), "&e;" * 340_000)
        return _document(client, ad_xml, doctype=doctype)
    return _document(client, _ad_element(base, ad))


def _png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def giant_png(side=5500):
    """A white one-bit PNG of side x side pixels in about 4 KB: small to send, huge to show."""
    row = b"\0" + b"\xff" * ((side + 7) // 8)
    header = struct.pack(">IIBBBBB", side, side, 1, 0, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _png_chunk(b"IHDR", header)
            + _png_chunk(b"IDAT", zlib.compress(row * side, 9)) + _png_chunk(b"IEND", b""))


def _solid_lzw(pixels, min_size=8):
    """GIF LZW codes of pixels zeros: each code covers a run one longer than the last."""
    clear, end = 1 << min_size, (1 << min_size) + 1
    bits = bit_count = 0
    out = bytearray()

    def put(code, width):
        nonlocal bits, bit_count
        bits |= code << bit_count
        bit_count += width
        while bit_count >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            bit_count -= 8

    width, next_code = min_size + 1, end + 1
    put(clear, width)
    while pixels:
        run = min(pixels, next_code - end)
        put(0 if run == 1 else end + run - 1, width)
        pixels -= run
        next_code += 1
        if next_code == 1 << width and width < 12:
            width += 1
        if next_code >= 4000:
            put(clear, width)
            width, next_code = min_size + 1, end + 1
    put(end, width)
    if bit_count:
        out.append(bits & 0xFF)
    data = bytes(out)
    return b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255]
                    for i in range(0, len(data), 255)) + b"\0"


def giant_gif(side=3000, frames=4, delay=0):
    """A looping side x side GIF whose frames all ask for the same delay, in hundredths of a second."""
    palettes = (b"\xff\x00\x00", b"\x00\xff\x00", b"\x00\x00\xff", b"\xff\xff\x00")
    body = (b"GIF89a" + struct.pack("<HHBBB", side, side, 0, 0, 0)
            + b"\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00")
    image = _solid_lzw(side * side)
    for frame in range(frames):
        colours = palettes[frame % len(palettes)] + b"\0" * (3 * 255)
        body += (b"\x21\xf9\x04\x00" + struct.pack("<H", delay) + b"\x00\x00" + b"\x2c" + struct.pack("<HHHHB", 0, 0, side, side, 0x87)
                 + colours + b"\x08" + image)
    return body + b"\x3b"


def nested_reply(depth):
    return ('<?xml version="1.0"?>\n<response>' + "<a>" * depth + "</a>" * depth
            + "</response>\n").encode("ascii")


def attributes_reply(count):
    """One client element carrying count attributes, the kind of tag that costs a naive
    parser time quadratic in its size."""
    attributes = " ".join(f'a{i}="{i}"' for i in range(count))
    return ('<?xml version="1.0"?>\n<response><client Id="x" ' + attributes
            + "/></response>\n").encode("ascii")


def oversized_reply(base, ad, client_id, total_bytes, chunk=64 * 1024):
    """A well-formed ad whose text is padded so the body is exactly total_bytes.

    Returned as (length, chunks) so the server never holds it in memory."""
    head = ('<?xml version="1.0" encoding="UTF-8"?>\n<response>' + _client(client_id)
            + "<ad><text>").encode("utf-8")
    tail = (f"</text><url>{escape(base)}/landing/{ad.name}</url>"
            f"<image>{escape(base)}/ads/{ad.file_name}</image></ad></response>\n").encode("utf-8")
    padding = max(0, total_bytes - len(head) - len(tail))

    def chunks():
        yield head
        left = padding
        while left > 0:
            size = min(chunk, left)
            yield b"A" * size
            left -= size
        yield tail

    return len(head) + padding + len(tail), chunks()


def page(title, body):
    return (f"<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>{html.escape(title)}"
            f"</title></head>\n<body>\n<h1>{html.escape(title)}</h1>\n{body}\n</body></html>\n"
            ).encode("utf-8")


def probe_page():
    return page("Quillon", "<p>Welcome to the Quillon ad network.</p>")


def landing_page(ad):
    return page(ad.text, f"<p>{html.escape(ad.text)}.</p><p>Thanks for looking in.</p>")


def highscores_page(game, rows):
    items = "\n".join(
        f"<tr><td>{rank}</td><td>{html.escape(row['username'] or 'anonymous')}</td>"
        f"<td>{row['score']}</td></tr>" for rank, row in enumerate(rows, 1))
    table = ("<table>\n<tr><th>#</th><th>Player</th><th>Score</th></tr>\n" + items + "\n</table>"
             if rows else "<p>No scores yet.</p>")
    return page(f"Top scores: {game}", table)


def account_form(message=""):
    note = f"<p>{html.escape(message)}</p>\n" if message else ""
    return page("Create an account", note + (
        '<form method="post" action="/highscores/createaccount/">\n'
        '<label>User name <input name="username" required></label><br>\n'
        '<label>Password <input name="password" type="password"></label><br>\n'
        '<input type="submit" value="Create account">\n</form>'))


def account_created(username):
    return page("Thank you", f"<p>The account {html.escape(username)} is ready. "
                             "Upload your best score from the game.</p>")


def unavailable_page():
    return page("Score board unavailable",
                "<p>The score board cannot keep scores or accounts just now.</p>")


def store_page():
    items = "\n".join(f"<li><b>{html.escape(name)}</b>: {html.escape(blurb)}</li>"
                      for name, blurb in _STORE_GAMES)
    return page(f"Games by {DEVELOPER}", f"<ul>\n{items}\n</ul>")
