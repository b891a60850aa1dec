# SPDX-License-Identifier: GPL-3.0-or-later
"""Bodies served by the local ad network: the ad reply and the small HTML pages of
the network and the score board."""

import html
import os
from xml.sax.saxutils import escape, quoteattr

DEVELOPER = "Kelto"

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


def scan_ads(ads_dir, leave_out=()):
    try:
        names = sorted(os.listdir(ads_dir))
    except FileNotFoundError:
        names = []
    files = [n for n in names
             if not n.startswith(".") and n not in leave_out
             and os.path.isfile(os.path.join(ads_dir, n))]
    return [Ad(i, n) for i, n in enumerate(files)]


def ad_element(base, ad, image=True, tag=("text", "url", "image"), url=None, image_url=None):
    text_tag, url_tag, image_tag = tag
    url = url if url is not None else f"{base}/landing/{ad.name}"
    image_url = image_url if image_url is not None else f"{base}/ads/{ad.file_name}"
    parts = [f"<{text_tag}>{escape(ad.text)}</{text_tag}>",
             f"<{url_tag}>{escape(url)}</{url_tag}>"]
    if image:
        parts.append(f"<{image_tag}>{escape(image_url)}</{image_tag}>" if image_url
                     else f"<{image_tag}/>")
    return "<ad>" + "".join(parts) + "</ad>"


def document(client, *children, doctype=""):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n' + doctype + "<response>"
            + client + "".join(children) + "</response>\n").encode("utf-8")


def client_element(client_id, attribute="Id"):
    return f"<client {attribute}={quoteattr(client_id)}/>"


def ad_reply(base, ad, client_id):
    """The XML body of an ad reply: the client element and one complete ad."""
    return document(client_element(client_id), ad_element(base, ad))


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
