#!/usr/bin/env python3
"""Draws the interface's own images (status icon, star particle, button and hover images, skins)
as small PNGs under app/ui/resources/images/. Run once after changing a drawing; the PNGs are
committed. Standard library only: shapes are rasterised here with 4x4 supersampling and written
with zlib."""

import math
import os
import struct
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app", "ui", "resources", "images")


def write_png(name, width, height, pixels):
    """pixels: list of rows, each a list of (r, g, b, a) tuples with 0-255 ints."""
    raw = bytearray()
    for row in pixels:
        raw.append(1)  # filter "Sub": rows of one colour become runs of zeros
        prev = (0, 0, 0, 0)
        for px in row:
            raw.extend(((px[i] - prev[i]) & 0xFF) for i in range(4))
            prev = px

    def chunk(kind, data):
        c = struct.pack(">I", len(data)) + kind + data
        return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(os.path.join(OUT, name + ".png"), "wb") as f:
        f.write(png)


def raster(width, height, coverage, color):
    """coverage(x, y) -> bool in image units; color (r, g, b). Alpha from 4x4 supersampling."""
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            hits = sum(1 for sy in range(4) for sx in range(4) if coverage(x + (sx + 0.5) / 4, y + (sy + 0.5) / 4))
            row.append((color[0], color[1], color[2], round(255 * hits / 16)))
        rows.append(row)
    return rows


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def strokes(segments, width):
    return lambda x, y: any(segment_distance(x, y, *s) <= width / 2 for s in segments)


def ring(cx, cy, r, width):
    return lambda x, y: abs(math.hypot(x - cx, y - cy) - r) <= width / 2


def disc(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) <= r


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def star_polygon(cx, cy, outer, inner, points=5):
    verts = []
    for i in range(points * 2):
        r = outer if i % 2 == 0 else inner
        a = -math.pi / 2 + i * math.pi / points
        verts.append((cx + r * math.cos(a), cy + r * math.sin(a)))

    def inside(x, y):
        hit = False
        for i in range(len(verts)):
            (x1, y1), (x2, y2) = verts[i], verts[(i + 1) % len(verts)]
            if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
                hit = not hit
        return hit

    return inside


# Glyphs drawn on a 20 x 20 grid for buttons; the hover image is the same glyph, brighter.
GLYPHS = {
    "zv_add_button": strokes([(10, 4, 10, 16), (4, 10, 16, 10)], 2.4),
    "zv_options_button": union(ring(10, 10, 5.5, 2.2), disc(10, 10, 1.8)),
    "zv_item_edit_button": strokes([(5, 15, 14, 6), (13, 5, 15, 7)], 2.4),
    "zv_item_link_button": union(ring(7.5, 12.5, 3.2, 1.8), ring(12.5, 7.5, 3.2, 1.8)),
    "zv_item_share_button": strokes([(10, 3, 10, 13), (6, 7, 10, 3), (14, 7, 10, 3), (4, 11, 4, 17),
                                     (4, 17, 16, 17), (16, 17, 16, 11)], 1.8),
    "zv_item_archive_button": strokes([(3, 5, 17, 5), (4, 5, 4, 16), (16, 5, 16, 16), (4, 16, 16, 16),
                                       (8, 9, 12, 9)], 1.8),
    "zv_item_delete_button": strokes([(5, 5, 15, 15), (15, 5, 5, 15)], 2.4),
    "zv_about_facebook_button": union(ring(10, 10, 8, 1.6), strokes([(11, 6, 11, 15), (8.5, 9.5, 13.5, 9.5)], 1.8)),
    "zv_about_twitter_button": union(ring(10, 10, 8, 1.6), strokes([(6, 12, 10, 14), (10, 14, 14, 7)], 1.8)),
    "zv_resize_corner": strokes([(6, 17, 17, 6), (11, 17, 17, 11), (15, 17, 17, 15)], 1.5),
}
NORMAL = (200, 214, 218)
HOVER = (255, 255, 255)


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, shape in GLYPHS.items():
        write_png(name, 20, 20, raster(20, 20, shape, NORMAL))
        if name != "zv_resize_corner":
            write_png(name + "_hover", 20, 20, raster(20, 20, shape, HOVER))

    # Review buttons: a rounded bar to lay the title over, and its lighter hover state.
    def bar(x, y):
        return segment_distance(x, y, 14, 14, 146, 14) <= 13

    for name, fill in (("zv_review_button", (236, 240, 241)), ("zv_review_button_hover", (255, 255, 255))):
        write_png(name, 160, 28, raster(160, 28, bar, fill))

    # Status icon: a clock face, black for a light menu bar (22 and 44 pixels).
    for size, name in ((22, "zv_statusbar_icon"), (44, "zv_statusbar_icon@2x")):
        k = size / 22
        shape = union(ring(11 * k, 11 * k, 8.5 * k, 2.0 * k), strokes([(11 * k, 11 * k, 11 * k, 6 * k),
                                                                        (11 * k, 11 * k, 14.5 * k, 12.5 * k)], 1.8 * k))
        write_png(name, size, size, raster(size, size, shape, (0, 0, 0)))

    # The star particle: a white five-pointed star with a soft glow around it (32 pixels).
    star = star_polygon(16, 16.5, 9, 4)
    rows = []
    for y in range(32):
        row = []
        for x in range(32):
            hits = sum(1 for sy in range(4) for sx in range(4) if star(x + (sx + 0.5) / 4, y + (sy + 0.5) / 4))
            core = hits / 16
            glow = max(0.0, 1 - math.hypot(x + 0.5 - 16, y + 0.5 - 16.5) / 15) ** 2 * 0.6
            row.append((255, 255, 255, round(255 * min(1.0, core + glow * (1 - core)))))
        rows.append(row)
    write_png("zv_particle_star_blurred", 32, 32, rows)

    # Hint shown while the list is empty: a large plus in a ring.
    write_png("zv_add_first_event", 64, 64,
              raster(64, 64, union(ring(32, 32, 26, 3), strokes([(32, 18, 32, 46), (18, 32, 46, 32)], 4)), NORMAL))

    # Skins, named as in the skin catalogue: vertical gradients between two colours (375 x 175).
    skins = {
        "nature_forest": ((34, 85, 51), (120, 170, 90)),
        "nature_ocean": ((12, 52, 97), (70, 160, 200)),
        "nature_mountains": ((70, 80, 110), (200, 205, 220)),
        "city_skyline": ((25, 30, 60), (230, 120, 80)),
        "city_lights": ((10, 10, 30), (90, 60, 140)),
        "city_bridge": ((60, 70, 80), (170, 180, 190)),
        "celebration_balloons": ((200, 60, 90), (250, 200, 120)),
        "celebration_fireworks": ((15, 15, 40), (120, 40, 110)),
    }
    for name, (top, bottom) in skins.items():
        rows = []
        for y in range(175):
            t = y / 174
            c = tuple(round(top[i] + (bottom[i] - top[i]) * t) for i in range(3))
            rows.append([(c[0], c[1], c[2], 255)] * 375)
        write_png(name, 375, 175, rows)


if __name__ == "__main__":
    main()
