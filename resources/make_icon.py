#!/usr/bin/env python3
"""Draws the application icon from its shape description into an .ico file.

Every size is rendered from the same shapes with box-filter supersampling and
stored as a 32-bit BGRA bitmap with its AND mask, the form every Windows
version reads. Output depends on nothing but the description, so builds stay
byte-identical.
"""

import argparse
import json
import struct
import sys


def parse_colour(text):
    text = text.lstrip("#")
    if len(text) not in (6, 8):
        raise ValueError(f"bad colour {text!r}")
    r, g, b = (int(text[i:i + 2], 16) for i in (0, 2, 4))
    a = int(text[6:8], 16) if len(text) == 8 else 255
    return r, g, b, a


def contains(shape, x, y):
    kind = shape["shape"]
    if kind == "circle":
        cx, cy = shape["centre"]
        return (x - cx) ** 2 + (y - cy) ** 2 <= shape["radius"] ** 2
    if kind == "rounded_rect":
        r = shape["radius"]
        # Distance from the rectangle shrunk by the radius.
        dx = max(shape["x0"] + r - x, 0.0, x - (shape["x1"] - r))
        dy = max(shape["y0"] + r - y, 0.0, y - (shape["y1"] - r))
        return dx * dx + dy * dy <= r * r
    if kind == "capsule":
        (ax, ay), (bx, by) = shape["from"], shape["to"]
        vx, vy = bx - ax, by - ay
        length2 = vx * vx + vy * vy
        t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((x - ax) * vx + (y - ay) * vy) / length2))
        px, py = ax + t * vx - x, ay + t * vy - y
        return px * px + py * py <= (shape["width"] / 2) ** 2
    raise ValueError(f"unknown shape {kind!r}")


def layer_colour(fill, y):
    if isinstance(fill, str):
        return parse_colour(fill)
    top, bottom = parse_colour(fill["top"]), parse_colour(fill["bottom"])
    return tuple(t + (b - t) * y for t, b in zip(top, bottom))


def render(design, size):
    """Returns rows top to bottom of (r, g, b, a) tuples, 0-255 integers,
    straight (not premultiplied) alpha."""
    n = design["samples_per_axis"]
    layers = design["layers"]
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied sum over samples
            for sy in range(n):
                y = (py + (sy + 0.5) / n) / size
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    r = g = b = a = 0.0  # premultiplied, painter's order
                    for layer in layers:
                        if not any(contains(s, x, y) for s in layer["add"]):
                            continue
                        if any(contains(s, x, y) for s in layer.get("subtract", ())):
                            continue
                        lr, lg, lb, la = layer_colour(layer["fill"], y)
                        la /= 255.0
                        r = lr * la + r * (1 - la)
                        g = lg * la + g * (1 - la)
                        b = lb * la + b * (1 - la)
                        a = la + a * (1 - la)
                    acc[0] += r
                    acc[1] += g
                    acc[2] += b
                    acc[3] += a
            count = n * n
            alpha = acc[3] / count
            if alpha <= 0:
                row.append((0, 0, 0, 0))
                continue
            # Rounded with integer halves so the result cannot depend on the
            # platform's float printing or rounding mode.
            row.append(tuple(min(255, int(c / count / alpha + 0.5)) for c in acc[:3])
                       + (min(255, int(alpha * 255 + 0.5)),))
        rows.append(row)
    return rows


def bitmap_entry(rows):
    """BITMAPINFOHEADER + bottom-up BGRA pixels + bottom-up AND mask."""
    size = len(rows)
    mask_stride = ((size + 31) // 32) * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (r, g, b, a) in enumerate(row):
            pixels += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def build_ico(design):
    sizes = design["sizes"]
    if len(set(sizes)) != len(sizes) or any(not 1 <= s <= 256 for s in sizes):
        raise ValueError("sizes must be distinct and between 1 and 256")
    images = [bitmap_entry(render(design, s)) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(sizes)))
    offset = 6 + 16 * len(sizes)
    for s, image in zip(sizes, images):
        side = 0 if s == 256 else s
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    return bytes(out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--design", required=True)
    parser.add_argument("--output", required=True)
    args = parser.parse_args(argv)
    try:
        with open(args.design, encoding="utf-8") as f:
            design = json.load(f)
        data = build_ico(design)
    except (OSError, ValueError, KeyError, TypeError) as e:
        print(f"make_icon: {e}", file=sys.stderr)
        return 1
    with open(args.output, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
