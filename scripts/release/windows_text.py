#!/usr/bin/env python3
"""Text files as every Windows Notepad shows them: CR LF line ends (Notepad
before Windows 10 1809, so on Windows 7 and 8, shows LF-only lines as one
line) and, when the text holds anything beyond ASCII, a UTF-8 byte order
mark (without one, an older Notepad may take the file for the machine's
ANSI code page and garble the accented names). ASCII text gets
no mark: it reads the same either way.

  windows_text.py IN OUT    writes IN's text to OUT in that form"""

import os
import sys

UTF8_BOM = b"\xef\xbb\xbf"


def windows_bytes(text):
    """The text with CR LF line ends and, when it is not all ASCII, a BOM."""
    if text.startswith("\ufeff"):
        text = text[1:]
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    data = "\r\n".join(lines).encode("utf-8")
    return data if text.isascii() else UTF8_BOM + data


def write(path, text):
    """Writes the text in that form, through a temporary file beside it."""
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    temporary = path + ".tmp"
    with open(temporary, "wb") as f:
        f.write(windows_bytes(text))
    os.replace(temporary, path)


def main(argv):
    if len(argv) != 2:
        print(__doc__.rstrip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    with open(argv[0], encoding="utf-8") as f:
        write(argv[1], f.read())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
