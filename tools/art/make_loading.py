"""Draws the pictures of the loading window into res/:

  loading_background.png   306 x 92, a calm panel with the product name "Ondrix LUMO" and
                           room for the spinner below its centre
  loading_background_2x.png  the same panel drawn at twice the size (612 x 184) for screens
                           scaled above 100 %, so the launcher only ever reduces a picture
  loading_frame01.png ...  twelve 48 x 48 frames of a twelve-spoke spinner (drawn at
  loading_frame12.png      24 x 24 by the launcher at 100 %, up to their full size at 200 %)

The text is rasterised per size by ImageMagick (`convert`, with the DejaVu fonts installed by
scripts/setup) into a grey-scale coverage mask; everything else is pure Python. Every picture
is then recompressed losslessly by zopflipng (Debian's zopfli), which saves about 2 KB of the
download: the pictures are most of the launcher's resources.

Run: python3 tools/art/make_loading.py res
"""
import math
import os
import subprocess
import sys

from pngwrite import png_bytes

WIDTH, HEIGHT = 306, 92
# The window is one pixel wider and taller than the picture; the spinner frame lands here.
WINDOW_W, WINDOW_H = 307, 93
FRAME = 48
SPOKES = 12

FRAME_COLOUR = (32, 40, 48)      # edge, one pixel per 100 %; matches the window's uncovered margin
TOP_COLOUR = (252, 253, 255)
BOTTOM_COLOUR = (226, 234, 244)
NAME_COLOUR = (40, 52, 66)       # "Ondrix"
BRAND_COLOUR = (24, 104, 196)    # "LUMO", the blue of the icon
TEXT_TOP = 14
FONT_REGULAR = "DejaVu-Sans"
FONT_BOLD = "DejaVu-Sans-Bold"
POINT_SIZE = 22


def text_mask(text, font, scale):
    """Coverage mask of text as (width, height, rows of 0..255) from ImageMagick."""
    data = subprocess.run(
        ["convert", "-background", "black", "-fill", "white", "-font", font,
         "-pointsize", str(POINT_SIZE * scale), "label:" + text, "-depth", "8", "pgm:-"],
        check=True, stdout=subprocess.PIPE).stdout
    # Binary PGM: "P5", width, height, maxval, then the samples.
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    pos += 1
    if fields[0] != b"P5":
        raise SystemExit("unexpected mask format from convert")
    w, h = int(fields[1]), int(fields[2])
    samples = data[pos:pos + w * h]
    return w, h, [list(samples[y * w:(y + 1) * w]) for y in range(h)]


def blend(under, over, alpha):
    return tuple(int(round(u + (o - u) * alpha)) for u, o in zip(under, over))


def background(scale=1):
    """The panel at `scale` times its size: every length (size, text, edge) is multiplied,
    the text is rasterised afresh at the larger size, so nothing is enlarged."""
    width, height, top = WIDTH * scale, HEIGHT * scale, TEXT_TOP * scale
    rows = []
    for y in range(height):
        t = y / (height - 1)
        base = blend(TOP_COLOUR, BOTTOM_COLOUR, t * t)
        rows.append([base] * width)
    # The product name, centred, two tones: the company in slate, the product in brand blue.
    name = text_mask("Ondrix ", FONT_REGULAR, scale)
    brand = text_mask("LUMO", FONT_BOLD, scale)
    total = name[0] + brand[0]
    left = (width - total) // 2
    for (w, h, mask), colour, x0 in ((name, NAME_COLOUR, left), (brand, BRAND_COLOUR, left + name[0])):
        for y in range(h):
            for x in range(w):
                a = mask[y][x] / 255.0
                if a > 0 and 0 <= top + y < height and 0 <= x0 + x < width:
                    rows[top + y][x0 + x] = blend(rows[top + y][x0 + x], colour, a)
    # The edge is `scale` pixels wide, so it keeps its weight when the launcher reduces the
    # picture to the screen's size.
    for y in range(height):
        for x in range(width):
            if min(x, y, width - 1 - x, height - 1 - y) < scale:
                rows[y][x] = FRAME_COLOUR
    return png_bytes(width, height, [[(r, g, b, 255) for r, g, b in row] for row in rows])


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def frame(step):
    """Frame `step` (0..11): the leading spoke at step * 30 degrees clockwise from the top,
    the eleven behind it fading out."""
    c = FRAME / 2.0
    inner, outer, half_width = 12.5, 22.0, 2.7
    spokes = []
    for k in range(SPOKES):
        angle = math.radians(k * 360.0 / SPOKES)
        sx, sy = math.sin(angle), -math.cos(angle)
        behind = (step - k) % SPOKES  # 0 for the leading spoke
        opacity = max(0.16, 1.0 - behind * 0.085)
        spokes.append((c + sx * inner, c + sy * inner, c + sx * outer, c + sy * outer, opacity))
    rows = []
    sub = 4  # 4 x 4 samples per pixel
    for y in range(FRAME):
        row = []
        for x in range(FRAME):
            alpha = 0.0
            for j in range(sub):
                for i in range(sub):
                    px, py = x + (i + 0.5) / sub, y + (j + 0.5) / sub
                    best = 0.0
                    for ax, ay, bx, by, opacity in spokes:
                        if segment_distance(px, py, ax, ay, bx, by) <= half_width:
                            best = max(best, opacity)
                    alpha += best
            alpha /= sub * sub
            row.append(BRAND_COLOUR + (int(round(alpha * 255)),))
        rows.append(row)
    return png_bytes(FRAME, FRAME, rows)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    # The same pixels in fewer bytes (an opaque picture loses its alpha channel); the result is
    # the same for the same input, so the pictures stay reproducible.
    subprocess.run(["zopflipng", "-y", "-m", "--iterations=50", "--filters=01234mepb", path, path],
                   check=True, stdout=subprocess.DEVNULL)


def main(folder):
    write(os.path.join(folder, "loading_background.png"), background())
    write(os.path.join(folder, "loading_background_2x.png"), background(2))
    for step in range(SPOKES):
        write(os.path.join(folder, "loading_frame%02d.png" % (step + 1)), frame(step))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "res")
