#!/usr/bin/env python3
"""The guides quote the program's screen as the program prints it.

The lines the program can show come from the program's own code: the
print_screens program (tests/screens/quotes/print_screens.cpp) runs the repair on the
test fake once for each way a run can end and prints the window title and
everything written. A quote in a guide is one of these, in Cyrillic:

  - a «…» quote (nested guillemets belong to it), or a "…" quote outside
    guillemets and code spans, within one paragraph;
  - a `…` code span, a line of a fenced code block, a line of a blockquote.

Which quotes are quotes of the screen:

  - every quote in a picture's alt text (the pictures show the program's
    window);
  - every other quote that is close to one of the program's lines: as a
    whole close to a whole line (difflib's ratio, ignoring case, at least
    RATIO), or, marked as a part by "..." or "…" at its start or end, close
    to the start, the end or some stretch of a line. A quote of Windows'
    own words (sfc's messages, the labels of buttons and menus) is far from
    all of them and is left alone.

A quote of the screen must be, character for character, one of the
program's lines with its indentation taken off (a quote close to a whole
line is that line, its full stop or exclamation marks included), or a part
of one (marked as a part, or far from the whole line, such as the first
words of a stage line in a picture's alt text). Line breaks and indentation inside the quote in the
page's source count as one space.

Usage: check_screen_quotes.py --screens-program PATH --page README.ru.md [--page ...]
       check_screen_quotes.py --screens FILE --page ...   (the program's output, saved)
Prints each quote that fails with its page and line and the line it is
closest to, and exits 1 if any does.
"""

import argparse
import difflib
import re
import subprocess
import sys

RATIO = 0.75
PART_RATIO = 0.85
CYRILLIC = re.compile("[\u0400-\u04ff]")
ELLIPSIS = re.compile(r"^(?:\.\.\.|…)\s*|\s*(?:\.\.\.|…)$")
ALT_TEXT = re.compile(r"!\[((?:[^\]\\]|\\.)*)\]\(")
CODE_SPAN = re.compile(r"`([^`\n]+)`")
FENCE = re.compile(r"^\s*(```|~~~)")


class Quote:
    """One quote of a page: its text as the reader sees it, the page and
    line it starts on, whether it is in a picture's alt text, and where its
    text lies in the page's source (start, end)."""

    def __init__(self, text, page, line, in_alt, span):
        self.text, self.page, self.line, self.in_alt, self.span = text, page, line, in_alt, span

    def __repr__(self):
        return "%s:%d: %r" % (self.page, self.line, self.text)


def screen_lines(output):
    """The lines of the print_screens output, indentation and trailing
    spaces taken off, without its own separator lines and empty lines."""
    lines = set()
    for line in output.splitlines():
        if line.startswith("--- "):
            continue
        line = line.strip()
        if line:
            lines.add(line)
    return sorted(lines)


def _line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def _flat(text):
    """The text as rendered: line breaks and the indentation after them as
    one space."""
    return re.sub(r"\s+", " ", text).strip()


def _spans(text, opener, closer):
    """(start, end) of each top-level opener…closer span, end past the
    closer; nested pairs belong to the outer one."""
    spans, depth, start = [], 0, 0
    for i, c in enumerate(text):
        if c == opener:
            if depth == 0:
                start = i
            depth += 1
        elif c == closer and depth:
            depth -= 1
            if depth == 0:
                spans.append((start, i + 1))
    return spans


def quotes_in(page, text):
    """Every Cyrillic quote of a page, in the order of the page."""
    found = []
    alts = [(m.start(1), m.end(1)) for m in ALT_TEXT.finditer(text)]

    def in_alt(offset):
        return any(start <= offset < end for start, end in alts)

    def add(body, offset):
        if CYRILLIC.search(body):
            found.append(Quote(_flat(body), page, _line_of(text, offset), in_alt(offset),
                               (offset, offset + len(body))))

    # Fenced code blocks, line by line; the rest of the page keeps its
    # offsets with the blocks blanked out.
    prose = list(text)
    fenced, offset = False, 0
    for line in text.splitlines(keepends=True):
        if FENCE.match(line):
            fenced = not fenced
            prose[offset:offset + len(line)] = " " * (len(line) - 1) + "\n"
        elif fenced:
            add(line, offset)
            prose[offset:offset + len(line)] = " " * (len(line) - 1) + "\n"
        else:
            stripped = line.lstrip()
            if stripped.startswith(">"):
                body = stripped.lstrip(">")
                add(body, offset + len(line) - len(body))
        offset += len(line)
    prose = "".join(prose)

    guillemets = _spans(prose, "«", "»")
    for start, end in guillemets:
        add(prose[start + 1:end - 1], start + 1)
    # What is left for straight quotes and code spans: the page without its
    # «…» quotes (they may hold straight quotes of their own).
    rest = list(prose)
    for start, end in guillemets:
        rest[start:end] = [c if c == "\n" else " " for c in prose[start:end]]
    rest = "".join(rest)
    for m in CODE_SPAN.finditer(rest):
        add(m.group(1), m.start(1))
    rest = CODE_SPAN.sub(lambda m: " " * len(m.group(0)), rest)
    # Straight quotes pair up within a paragraph.
    for m in re.finditer(r"(?:[^\n]|\n(?![ \t]*\n))+", rest):
        marks = [m.start() + i for i, c in enumerate(m.group(0)) if c == '"']
        for opening, closing in zip(marks[0::2], marks[1::2]):
            add(rest[opening + 1:closing], opening + 1)
    found.sort(key=lambda q: q.span)
    return found


def _ratio(a, b):
    return difflib.SequenceMatcher(None, a.lower(), b.lower(), autojunk=False).ratio()


def _covered(part, line):
    """How much of `part` is found, in order, somewhere in `line`."""
    matcher = difflib.SequenceMatcher(None, part.lower(), line.lower(), autojunk=False)
    return sum(block.size for block in matcher.get_matching_blocks()) / len(part)


def closest(quote_text, lines):
    """(near, line): whether the quote is close to one of the program's
    lines by the rule in the module's description, and the line it is
    closest to."""
    body = ELLIPSIS.sub("", quote_text)
    if not body:
        return False, ""
    starts_part = bool(re.match(r"^(?:\.\.\.|…)", quote_text))
    ends_part = bool(re.search(r"(?:\.\.\.|…)$", quote_text))
    best = (0.0, "")
    for line in lines:
        if starts_part and ends_part:
            score = _covered(body, line) * RATIO / PART_RATIO
        elif starts_part:
            score = _ratio(body, line[-len(body):])
        elif ends_part:
            score = _ratio(body, line[:len(body)])
        else:
            score = _ratio(body, line)
        best = max(best, (score, line))
    return best[0] >= RATIO, best[1]


def problems(quotes, lines):
    """A message for each quote of the screen that the program does not
    print."""
    found = []
    for quote in quotes:
        body = ELLIPSIS.sub("", quote.text)
        if body in lines:
            continue
        near, line = closest(quote.text, lines)
        # Close to a whole line, and not marked as a part: it is that line,
        # and must be all of it.
        whole = near and body == quote.text
        if not whole and any(body in line for line in lines):
            continue
        if quote.in_alt or near:
            kind = "a quote in a picture's alt text" if quote.in_alt else "a quote close to a line of the screen"
            found.append("%s:%d: %s is not what the program prints:\n    quoted:  %s\n    closest: %s"
                         % (quote.page, quote.line, kind, quote.text, line))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--screens-program")
    source.add_argument("--screens")
    parser.add_argument("--page", action="append", required=True)
    args = parser.parse_args()
    if args.screens_program:
        output = subprocess.run([args.screens_program], check=True, stdout=subprocess.PIPE).stdout
    else:
        with open(args.screens, "rb") as f:
            output = f.read()
    lines = screen_lines(output.decode("utf-8"))
    quotes, found = 0, []
    for page in args.page:
        with open(page, encoding="utf-8") as f:
            page_quotes = quotes_in(page, f.read())
        quotes += len(page_quotes)
        found += problems(page_quotes, lines)
    for message in found:
        print(message)
    if found:
        print("%d quote(s) of the screen differ from what the program prints" % len(found))
        return 1
    print("%d quotes read in %d page(s); every quote of the screen is what the program prints"
          % (quotes, len(args.page)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
