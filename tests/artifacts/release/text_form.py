"""How a shipped text file must look to every Windows Notepad: each line
ended by CR LF, none by LF alone; a UTF-8 byte order mark exactly when the
text holds non-ASCII; the same text as its source; and file(1) agreeing
("with CRLF line terminators", "(with BOM)"). Shared by the release's and
the kit's checks."""

import subprocess

UTF8_BOM = b"\xef\xbb\xbf"


def problems(name, data, source_text, path=None):
    """What is wrong with `data`, shipped as `name` from `source_text`;
    `path`, when given, is the shipped file for file(1) to read."""
    found = []
    body = data[len(UTF8_BOM):] if data.startswith(UTF8_BOM) else data
    if body.count(b"\n") != body.count(b"\r\n") or body.count(b"\r") != body.count(b"\r\n"):
        found.append(f"{name}: a line does not end in CR LF")
    if b"\r\n" not in body:
        found.append(f"{name}: no line ends in CR LF")
    non_ascii = not body.isascii()
    if non_ascii != data.startswith(UTF8_BOM):
        found.append(f"{name}: {'no' if non_ascii else 'a'} byte order mark, though its text is "
                     f"{'not ' if non_ascii else ''}all ASCII")
    try:
        text = body.decode("utf-8").replace("\r\n", "\n")
    except UnicodeDecodeError:
        found.append(f"{name}: not UTF-8")
        text = None
    if text is not None and text != source_text.replace("\r\n", "\n").lstrip("\ufeff"):
        found.append(f"{name}: its text is not its source's")
    if path:
        shown = subprocess.run(["file", "-b", path], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               text=True).stdout.strip()
        if "with CRLF line terminators" not in shown or ("(with BOM)" in shown) != non_ascii:
            found.append(f"{name}: file(1) says {shown!r}")
    return found
