"""Reads publisher/publisher.txt, the one place the publisher's name is
written: the build scrambles it into the program, the version resource and
the release's bill of materials name it, and the checks compare with it."""

# The banner box closes only around 16 one-byte characters.
TEXT_SIZE = 16


def read_publisher_text(path):
    """The text without its line end: exactly TEXT_SIZE printable ASCII
    characters, or ValueError saying what is wrong with the file."""
    with open(path, "rb") as f:
        raw = f.read()
    if raw.endswith(b"\r\n"):
        raw = raw[:-2]
    elif raw.endswith(b"\n"):
        raw = raw[:-1]
    if len(raw) != TEXT_SIZE:
        raise ValueError(f"{path}: the text must be exactly {TEXT_SIZE} bytes, found {len(raw)}")
    if any(b < 0x20 or b > 0x7E for b in raw):
        raise ValueError(f"{path}: the text must be printable ASCII, one byte per character")
    return raw.decode("ascii")
