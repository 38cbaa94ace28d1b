"""Numbers for people: the report as one self-contained HTML page, bars drawn in inline SVG, with
a content security policy that forbids loading anything at all."""

import html
import time

DAYS_DRAWN = 60  # the chart shows the latest days; the table below it has them all
BAR, GAP, HEIGHT = 12, 10, 160

STYLE = """
body { font: 14px/1.4 sans-serif; margin: 2em; color: #222; background: #fff; }
table { border-collapse: collapse; margin: 1em 0; }
th, td { padding: 0.2em 0.8em; border-bottom: 1px solid #ddd; text-align: right; }
td.url { text-align: left; font-family: monospace; word-break: break-all; }
.hits { fill: #2a8a3e; } .misses { fill: #c8452c; }
.legend span { display: inline-block; width: 1em; height: 1em; vertical-align: middle; }
"""


def ratio(value):
    return "-" if value is None else "%.1f%%" % (100 * value)


def chart(days):
    """Hits and misses per day as pairs of bars, scaled to the largest."""
    days = days[-DAYS_DRAWN:]
    top = max([max(d["hits"], d["misses"]) for d in days] + [1])
    step = 2 * BAR + GAP
    width = max(step * len(days) + GAP, 200)
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" role="img" '
             'aria-label="hits and misses per day">' % (width, HEIGHT + 40)]
    for i, day in enumerate(days):
        x = GAP + i * step
        for offset, key in ((0, "hits"), (BAR, "misses")):
            height = round(HEIGHT * day[key] / top)
            parts.append('<rect class="%s" x="%d" y="%d" width="%d" height="%d">'
                         '<title>%s %s: %d</title></rect>' % (
                             key, x + offset, HEIGHT - height, BAR, height,
                             html.escape(day["day"]), key, day[key]))
        parts.append('<text x="%d" y="%d" font-size="10" transform="rotate(45 %d %d)">%s</text>'
                     % (x, HEIGHT + 12, x, HEIGHT + 12, html.escape(day["day"][5:])))
    parts.append("</svg>")
    return "".join(parts)


def render(rows, most_missed, title="larderbox cache"):
    """The page: the chart of the days in `rows` (their last row is the total), the table of
    every day with hit ratio and bytes served, and the most missed URLs."""
    days, total = rows[:-1], rows[-1]
    cells = "".join(
        "<tr><td>%s</td><td>%d</td><td>%d</td><td>%d</td><td>%s</td><td>%d</td><td>%d</td></tr>"
        % (html.escape(r["day"]), r["probes"], r["hits"], r["misses"], ratio(r["hit_ratio"]),
           r["downloads"], r["bytes"]) for r in rows)
    missed = "".join('<tr><td>%d</td><td class="url">%s</td></tr>' % (
        item["misses"], html.escape(item["url"])) for item in most_missed)
    return """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'">
<title>%(title)s</title><style>%(style)s</style></head>
<body><h1>%(title)s</h1>
<p>Hit ratio %(ratio)s: %(hits)d of %(probes)d probes; %(downloads)d downloads served, %(bytes)d
bytes. Written %(when)s.</p>
<p class="legend"><span style="background:#2a8a3e"></span> hits
<span style="background:#c8452c"></span> misses</p>
%(chart)s
<table><tr><th>day</th><th>probes</th><th>hits</th><th>misses</th><th>hit ratio</th>
<th>downloads</th><th>bytes served</th></tr>%(cells)s</table>
<h2>Most missed</h2>
<table><tr><th>misses</th><th>URL</th></tr>%(missed)s</table>
</body></html>
""" % {"title": html.escape(title), "style": STYLE, "ratio": ratio(total["hit_ratio"]),
       "hits": total["hits"], "probes": total["probes"], "downloads": total["downloads"],
       "bytes": total["bytes"], "chart": chart(days), "cells": cells, "missed": missed,
       "when": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}
