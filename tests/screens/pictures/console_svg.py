"""A console window drawn as SVG, and the screen read back from the drawing.

A picture is made from a Screen: the window title, the rows of text as the
console shows them and the cell where the cursor stands. Each row is one
<text> element that holds the row exactly, so what a picture shows can be
read back from it and compared with a fresh capture of the program, whatever
font a viewer picks to draw it with. Chromium keeps a row's spaces only for
xml:space on the <text> element itself, not inherited from a group.

The console draws every character in a cell of the same width. A viewer may
lack the first fonts named here, or take Cyrillic from another font than
Latin; each row's textLength keeps its characters on the cell grid anyway,
so the box of the banner stays closed.
"""

import re
import unicodedata
import xml.etree.ElementTree as ElementTree
from typing import NamedTuple
from xml.sax.saxutils import escape

COLUMNS = 80
FONT_SIZE = 15
# 0.6 em: the advance of DejaVu Sans Mono and Liberation Mono at this size.
CELL_WIDTH = 9
LINE_HEIGHT = 18
BASELINE = 14
MARGIN = 8
TITLE_BAR = 30
BUTTON_WIDTH = 46
# The console's default attribute (7 on 0) in its default colour table:
# light grey on black.
FOREGROUND = "#C0C0C0"
BACKGROUND = "#000000"
MONOSPACE = "Consolas, 'DejaVu Sans Mono', 'Liberation Mono', monospace"
SANS = "'Segoe UI', 'DejaVu Sans', 'Liberation Sans', sans-serif"
SVG = "http://www.w3.org/2000/svg"


class Screen(NamedTuple):
    title: str
    rows: tuple
    cursor: tuple  # (row, column)


def screen_problems(screen):
    """Why the screen cannot be drawn on an 80-column grid, or nothing."""
    problems = []
    for number, row in enumerate(screen.rows, 1):
        if len(row) > COLUMNS:
            problems.append("row %d is %d characters wide" % (number, len(row)))
        for ch in row:
            if (unicodedata.category(ch) in ("Cc", "Cf", "Mn", "Me")
                    or unicodedata.east_asian_width(ch) in ("W", "F")):
                problems.append("row %d holds U+%04X, which takes no cell or two" % (number, ord(ch)))
    row, column = screen.cursor
    if not (0 <= row < len(screen.rows) and 0 <= column <= COLUMNS):
        problems.append("the cursor %r lies outside the rows" % (screen.cursor,))
    return problems


def _icon(icon_svg):
    """The program's icon at the title bar's left, as Windows puts it there."""
    body = re.sub(r"<!--.*?-->", "", icon_svg[icon_svg.index("<svg"):], flags=re.S).strip()
    body = re.sub(r'width="\d+" height="\d+"', 'x="8" y="7" width="16" height="16"', body, count=1)
    return "\n".join(line.strip() for line in body.splitlines() if line.strip())


def render(screen, icon_svg):
    """The SVG text of the window showing `screen`."""
    problems = screen_problems(screen)
    if problems:
        raise ValueError("; ".join(problems))
    width = 2 * MARGIN + COLUMNS * CELL_WIDTH
    top = TITLE_BAR + MARGIN
    height = top + len(screen.rows) * LINE_HEIGHT + MARGIN
    close = width - BUTTON_WIDTH // 2
    maximise = close - BUTTON_WIDTH
    minimise = maximise - BUTTON_WIDTH
    out = [
        '<svg xmlns="%s" width="%d" height="%d" viewBox="0 0 %d %d">' % (SVG, width, height, width, height),
        '<rect width="%d" height="%d" fill="%s"/>' % (width, height, BACKGROUND),
        '<rect width="%d" height="%d" fill="#FFFFFF"/>' % (width, TITLE_BAR),
        _icon(icon_svg),
        '<text id="window-title" x="32" y="19" font-family="%s" font-size="12" fill="#000000">%s</text>'
        % (SANS, escape(screen.title)),
        '<g fill="none" stroke="#000000" stroke-width="1">',
        '<path d="M%d 15.5h10"/>' % (minimise - 5),
        '<rect x="%.1f" y="10.5" width="10" height="10"/>' % (maximise - 5 + 0.5),
        '<path d="M%d 10l10 10M%d 10l-10 10"/>' % (close - 5, close + 5),
        '</g>',
        '<rect x="0.5" y="0.5" width="%d" height="%d" fill="none" stroke="#7A7A7A"/>' % (width - 1, height - 1),
        '<g id="screen" font-family="%s" font-size="%d" fill="%s">'
        % (MONOSPACE, FONT_SIZE, FOREGROUND),
    ]
    for index, row in enumerate(screen.rows):
        y = top + index * LINE_HEIGHT + BASELINE
        if row:
            out.append('<text x="%d" y="%d" textLength="%d" xml:space="preserve">%s</text>'
                       % (MARGIN, y, len(row) * CELL_WIDTH, escape(row)))
        else:
            out.append('<text x="%d" y="%d"/>' % (MARGIN, y))
    out.append('</g>')
    row, column = screen.cursor
    # The console's cursor: an underline a quarter of the cell high.
    out.append('<rect id="cursor" x="%d" y="%d" width="%d" height="4" fill="%s"/>'
               % (MARGIN + column * CELL_WIDTH, top + (row + 1) * LINE_HEIGHT - 4, CELL_WIDTH, FOREGROUND))
    out.append('</svg>')
    return "\n".join(out) + "\n"


def read(svg_text):
    """The Screen a picture made by render() shows."""
    root = ElementTree.fromstring(svg_text)
    ns = {"svg": SVG}
    title = root.find(".//svg:text[@id='window-title']", ns)
    group = root.find(".//svg:g[@id='screen']", ns)
    cursor = root.find(".//svg:rect[@id='cursor']", ns)
    if title is None or group is None or cursor is None:
        raise ValueError("not a picture of a console window: no title, screen or cursor")
    rows = tuple(text.text or "" for text in group.findall("svg:text", ns))
    top = TITLE_BAR + MARGIN
    row = (int(cursor.get("y")) + 4 - top) // LINE_HEIGHT - 1
    column = (int(cursor.get("x")) - MARGIN) // CELL_WIDTH
    return Screen(title.text or "", rows, (row, column))
