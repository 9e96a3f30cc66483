"""Draws icon 128 of the launcher: a blue disc with a white ring, the mark of Ondrix LUMO.

Run: python3 tools/art/make_icon.py res/lumo.ico
"""
import math
import sys

from pngwrite import ico_bytes, png_bytes


def coverage(dist, edge):
    """Anti-aliased coverage of a pixel whose centre lies at dist from an edge at edge."""
    return max(0.0, min(1.0, edge - dist + 0.5))


def icon(size):
    c = (size - 1) / 2.0
    outer = size / 2.0 - 0.5
    ring_out, ring_in = outer * 0.62, outer * 0.38
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            d = math.hypot(x - c, y - c)
            disc = coverage(d, outer)
            ring = min(coverage(d, ring_out), 1.0 - coverage(d, ring_in))
            # A gap at the top right makes the ring read as motion.
            angle = math.degrees(math.atan2(c - y, x - c)) % 360
            if 20 < angle < 70:
                ring = 0.0
            base = (24, 104, 196)
            r = int(base[0] + (255 - base[0]) * ring)
            g = int(base[1] + (255 - base[1]) * ring)
            b = int(base[2] + (255 - base[2]) * ring)
            row.append((r, g, b, int(255 * disc)))
        rows.append(row)
    return png_bytes(size, size, rows)


def main(path):
    with open(path, "wb") as f:
        f.write(ico_bytes([(s, icon(s)) for s in (16, 32, 48)]))


if __name__ == "__main__":
    main(sys.argv[1])
