#!/usr/bin/env python3
"""Generate the overlay badges, the context-menu bitmap and icon, and the package logos.

Run from the repository root:  python3 tools/demo/make_artwork.py [--check]

The outputs in resources/ and packaging/Assets/ are committed, so the build never needs this
script; rerun it only when the artwork changes.  Standard library only.
"""
import math
import struct
import sys
import zlib
from pathlib import Path

OUT = Path(__file__).resolve().parents[2] / "resources"
ASSETS = OUT.parent / "packaging" / "Assets"  # the logos of the sparse package
SIZES = (16, 20, 24, 32, 40, 48, 64, 256)  # 20 and 40: small icons at 125 % and 250 %
MENU_SIZES = (16, 20, 24, 32, 40, 48)  # the menu's small icon from 100 % to 300 %
WHITE = (255, 255, 255)
MENU_KEY = (255, 0, 255)       # the menu code swaps this colour for the menu background
MENU_EDGE = (128, 136, 152)    # neutral grey-blue the orb edge is smoothed against

BADGES = {  # name: (disc colour, symbol)
    "error": ((236, 104, 20), "cross"),
    "pending": ((70, 104, 158), "sync"),
    "ok": ((46, 160, 64), "check"),
}


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def clamp01(t):
    return 0.0 if t < 0 else 1.0 if t > 1 else t


def seg_dist(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = clamp01(((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def in_triangle(px, py, tri):
    (x1, y1), (x2, y2), (x3, y3) = tri
    d1 = (px - x2) * (y1 - y2) - (x1 - x2) * (py - y2)
    d2 = (px - x3) * (y2 - y3) - (x2 - x3) * (py - y3)
    d3 = (px - x1) * (y3 - y1) - (x3 - x1) * (py - y1)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


# ---------------------------------------------------------------- symbols
# Symbols are built in disc units (centre 0,0, radius 1, y down) and
# return a predicate "is this point covered by white ink".

def polyline(points, w):
    segs = list(zip(points, points[1:]))
    return lambda u, v: any(seg_dist(u, v, *a, *b) <= w / 2 for a, b in segs)


def cross_symbol(w, a=0.42):
    s1 = polyline([(-a, -a), (a, a)], w)
    s2 = polyline([(-a, a), (a, -a)], w)
    return lambda u, v: s1(u, v) or s2(u, v)


def check_symbol(w):
    return polyline([(-0.46, 0.02), (-0.14, 0.34), (0.46, -0.30)], w)


def sync_symbol(w, arrows, r0=0.52, head=1.25):
    """Circular arrows chasing each other (clockwise on screen).

    arrows == 2: two arcs, each ending in an arrowhead.
    arrows == 1: one long arc; small sizes cannot resolve two heads.
    """
    span = math.radians(112 if arrows == 2 else 250)
    tip_len = 1.5 * w / r0  # arrowhead length along the circle, in radians
    parts = []
    for k in range(arrows):
        start = math.radians(200) + k * math.pi
        end = start + span
        hw = head * w  # arrowhead half-width
        ca, sa = math.cos(end), math.sin(end)
        tip = end + tip_len
        tri = ((ca * (r0 - hw), sa * (r0 - hw)), (ca * (r0 + hw), sa * (r0 + hw)),
               (math.cos(tip) * r0, math.sin(tip) * r0))
        parts.append((start, end, tri))

    def hit(u, v):
        r = math.hypot(u, v)
        ang = math.atan2(v, u)
        for start, end, tri in parts:
            if abs(r - r0) <= w / 2:
                rel = (ang - start) % (2 * math.pi)
                if rel <= end - start + 0.02:
                    return True
            if in_triangle(u, v, tri):
                return True
        return False
    return hit


# At 16 px the disc has about 7x7 usable pixels; geometry cannot be
# anti-aliased into anything legible there, so those symbols are drawn by
# hand, one character per pixel, centred on the disc's middle pixel.
GLYPHS_16 = {
    "cross": [".......",
              ".#...#.",
              "..#.#..",
              "...#...",
              "..#.#..",
              ".#...#.",
              "......."],
    "check": [".......",
              ".....#.",
              "....##.",
              ".#.##..",
              ".###...",
              "..#....",
              "......."],
    "sync": [".......",
             "..##...",
             ".#...#.",
             ".#..###",
             ".#..#..",
             "..##...",
             "......."],
}


# ------------------------------------------------------------------ badges

def badge_layout(size):
    """Disc diameter in px and detail switches per size.

    The small sizes get a slightly larger disc and heavier strokes: an
    8 px disc with anti-aliased hairlines turns into a coloured smudge.
    """
    if size == 16:  # symbols come from GLYPHS_16
        return 9.0, dict(highlight=False, rim_px=0.8)
    if size == 20:
        return 11.0, dict(highlight=False, rim_px=0.85, arrows=1,
                          stroke={"cross": 1.8, "check": 2.0, "sync": 1.6})
    if size == 24:
        return 13.0, dict(highlight=False, rim_px=0.9, arrows=1,
                          stroke={"cross": 2.0, "check": 2.2, "sync": 1.7})
    if size == 32:
        return 16.0, dict(highlight=True, rim_px=1.0, arrows=1,
                          stroke={"cross": 2.4, "check": 2.6, "sync": 2.1})
    if size == 40:  # a 20 px disc is still too small for two arrowheads
        return 20.0, dict(highlight=True, rim_px=1.0, arrows=1,
                          stroke={"cross": 3.0, "check": 3.3, "sync": 2.6})
    k = size / 64
    return size / 2, dict(highlight=True, rim_px=max(1.0, size / 64), arrows=2,
                          stroke={"cross": 5.8 * k, "check": 6.4 * k, "sync": 5.0 * k})


def make_shader(size, base, symbol):
    diam, opt = badge_layout(size)
    R = diam / 2
    cx, cy = R, size - R
    glyph = GLYPHS_16[symbol] if size == 16 else None
    if not glyph:
        w = opt["stroke"][symbol] / R
        ink = {"cross": lambda: cross_symbol(w),
               "check": lambda: check_symbol(w),
               "sync": lambda: sync_symbol(w, opt["arrows"])}[symbol]()
    top, bottom = mix(base, WHITE, 0.22), mix(base, (0, 0, 0), 0.18)
    rim = mix(base, (0, 0, 0), 0.45)
    rim_w = opt["rim_px"] / R
    shadow_off = 0.05 if size >= 48 else 0.0

    def shade(x, y):
        u, v = (x - cx) / R, (y - cy) / R
        d = math.hypot(u, v)
        if d > 1:
            return None
        col = mix(top, bottom, (v + 1) / 2)
        if opt["highlight"]:
            hu, hv = u / 0.74, (v + 0.5) / 0.42
            e = hu * hu + hv * hv
            if e < 1:
                col = mix(col, WHITE, 0.42 * clamp01((1 - hv) / 2) * clamp01((1 - e) * 3))
        if d > 1 - rim_w:
            return rim
        if glyph:
            gx, gy = math.floor(x) - math.floor(cx) + 3, math.floor(y) - math.floor(cy) + 3
            if 0 <= gx < 7 and 0 <= gy < 7 and glyph[gy][gx] == "#":
                return WHITE
        elif ink(u, v):
            return WHITE
        if shadow_off and ink(u - shadow_off, v - shadow_off):
            return mix(col, (0, 0, 0), 0.25)
        return col
    return shade, (0, int(size - diam), int(math.ceil(diam)), size)


def render(size, shade, box, ss):
    """Box-filtered supersampling; returns straight-alpha RGBA rows."""
    px = [[(0, 0, 0, 0)] * size for _ in range(size)]
    offs = [(i + 0.5) / ss for i in range(ss)]
    n = ss * ss
    x0, y0, x1, y1 = box
    for y in range(y0, y1):
        for x in range(x0, x1):
            r = g = b = a = 0.0
            for oy in offs:
                for ox in offs:
                    c = shade(x + ox, y + oy)
                    if c:
                        r += c[0]; g += c[1]; b += c[2]; a += 1
            if a:
                px[y][x] = (round(r / a), round(g / a), round(b / a), round(255 * a / n))
    return px


# ---------------------------------------------------------------- encoders

def png_bytes(px):
    h, w = len(px), len(px[0])
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in px)

    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib_bytes(px):
    """Classic icon image: BGRA bottom-up plus an AND mask taken from alpha."""
    h, w = len(px), len(px[0])
    colour = b"".join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(px) for p in row)
    stride = (w + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(px):
        bits = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x >> 3] |= 0x80 >> (x & 7)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0)
    return header + colour + bytes(mask)


def ico_bytes(images):
    """images: list of (size, encoded image)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def bmp24_bytes(px):
    h, w = len(px), len(px[0])
    stride = (w * 3 + 3) // 4 * 4
    body = b"".join(bytes(c for p in row for c in (p[2], p[1], p[0])).ljust(stride, b"\0")
                    for row in reversed(px))
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(body), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(body), 0, 0, 14 + len(info))
    return head + info + body


# -------------------------------------------------------------------- menu

def orb_shader(R):
    """Blue orb with a white orbit arc, centred on 0,0; None outside it.

    The menu bitmap, the menu icon and the package logos share it, so they stay one picture.
    """
    k = R / 7.0  # the arc and the light were tuned on the menu's 7 px radius
    light, dark = (160, 212, 255), (14, 56, 156)
    tilt = math.radians(-22)
    ct, st = math.cos(tilt), math.sin(tilt)

    def shade(u, v):
        if math.hypot(u, v) > R:
            return None
        # front half of a tilted orbit, kept inside the orb so the outline
        # stays a clean circle on any menu background
        eu, ev = u * ct + v * st, -u * st + v * ct
        if ev > 0 and abs(math.hypot(eu / (6.2 * k), ev / (2.4 * k)) - 1) < 0.24:
            return WHITE
        t = clamp01(math.hypot(u + 2.4 * k, v + 2.6 * k) / (R * 1.6))
        return mix(light, dark, t ** 0.8)
    return shade


def menu_pixels():
    """The orb on the magenta key colour."""
    size, ss, R, c = 16, 8, 7.0, 8.0
    orb = orb_shader(R)

    def shade(x, y):
        return orb(x - c, y - c)

    px = []
    for y in range(size):
        row = []
        for x in range(size):
            acc, hits = [0.0, 0.0, 0.0], 0
            for i in range(ss * ss):
                col = shade(x + (i % ss + 0.5) / ss, y + (i // ss + 0.5) / ss)
                if col:
                    hits += 1
                    acc = [a + b for a, b in zip(acc, col)]
            if not hits:
                row.append(MENU_KEY)
                continue
            col = [a / hits for a in acc]
            col = tuple(round(v) for v in mix(MENU_EDGE, col, hits / (ss * ss)))
            assert col != MENU_KEY, "key colour inside the logo"
            row.append(col)
        px.append(row)
    # the menu code keys on the top-left colour; it must not leak into the logo
    corners = [px[0][0], px[0][-1], px[-1][0], px[-1][-1]]
    assert all(p == MENU_KEY for p in corners), "corners must be key colour"
    return px


def menu_icon_pixels(size):
    """The orb with an anti-aliased alpha edge, on the bitmap's proportions (radius 7 of 16)."""
    R, c = size * 7 / 16, size / 2
    orb = orb_shader(R)
    return render(size, lambda x, y: orb(x - c, y - c), (0, 0, size, size), 8)


# ------------------------------------------------------------------- logos

# The package's logos: the orb on a transparent ground, filling the share of
# the square that the file manager and the package list leave for a mark.
LOGOS = {"Square44x44Logo.png": (44, 0.92), "Square150x150Logo.png": (150, 0.66),
         "StoreLogo.png": (50, 0.92)}


def logo_png(size, share):
    R = size * share / 2
    orb = orb_shader(R)
    c = size / 2
    return png_bytes(render(size, lambda x, y: orb(x - c, y - c), (0, 0, size, size), 4))


# ------------------------------------------------------------------- check

def ico_images(path, sizes):
    """The images of an icon file, checked against sizes in order: {size: encoded image}."""
    data = path.read_bytes()
    reserved, kind, count = struct.unpack_from("<HHH", data)
    assert (reserved, kind, count) == (0, 1, len(sizes)), path.name
    images = {}
    for i, size in enumerate(sizes):
        w, h, _, _, planes, bpp, length, off = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        assert (w or 256, h or 256, planes, bpp) == (size, size, 1, 32), (path.name, size)
        img = data[off:off + length]
        assert len(img) == length, (path.name, size)
        if size == 256:
            assert img.startswith(b"\x89PNG\r\n\x1a\n"), path.name
        else:
            hsize, bw, bh, _, bbits = struct.unpack_from("<IiiHH", img)
            mask = (size + 31) // 32 * 4 * size
            assert (hsize, bw, bh, bbits) == (40, size, 2 * size, 32), (path.name, size)
            assert length == 40 + size * size * 4 + mask, (path.name, size)
        images[size] = img
    return images


def dib_alpha(img, size):
    """Alpha of a 32-bit icon image, top row first."""
    rows = [img[40 + 4 * size * y:40 + 4 * size * (y + 1)][3::4] for y in range(size)]
    return rows[::-1]


def check():
    for name in BADGES:
        images = ico_images(OUT / f"overlay_{name}.ico", SIZES)
        for size in SIZES[:-1]:  # the badge keeps to the lower left; the item's icon shows elsewhere
            edge, alpha = math.ceil(size * 0.6), dib_alpha(images[size], size)
            assert not any(a for y, row in enumerate(alpha) for x, a in enumerate(row)
                           if x >= edge or y < size - edge), (name, size)
    for size, img in ico_images(OUT / "menu.ico", MENU_SIZES).items():
        alpha, mid = dib_alpha(img, size), size // 2
        corners = alpha[0][0], alpha[0][-1], alpha[-1][0], alpha[-1][-1]
        assert corners == (0, 0, 0, 0), ("menu corner", size)
        assert alpha[mid][mid] == 255, ("menu centre", size)
        assert len(set(b for row in alpha for b in row)) > 2, ("menu edge not smoothed", size)
        assert sum(map(sum, alpha)) > 0.5 * 255 * size * size, ("menu orb too small", size)
    bmp = (OUT / "menu.bmp").read_bytes()
    assert bmp[:2] == b"BM" and struct.unpack_from("<I", bmp, 2)[0] == len(bmp)
    _, w, h, _, bits = struct.unpack_from("<IiiHH", bmp, 14)
    assert (w, h, bits) == (16, 16, 24)
    for name, (size, _) in LOGOS.items():
        png = (ASSETS / name).read_bytes()
        assert png.startswith(b"\x89PNG\r\n\x1a\n") and png[12:16] == b"IHDR", name
        assert struct.unpack_from(">II", png, 16) == (size, size), name
    print("artwork ok")


def main():
    if "--check" in sys.argv:
        return check()
    OUT.mkdir(exist_ok=True)
    for name, (base, symbol) in BADGES.items():
        images = []
        for size in SIZES:
            shade, box = make_shader(size, base, symbol)
            px = render(size, shade, box, 4 if size >= 64 else 8)
            images.append((size, png_bytes(px) if size >= 256 else dib_bytes(px)))
        (OUT / f"overlay_{name}.ico").write_bytes(ico_bytes(images))
    (OUT / "menu.bmp").write_bytes(bmp24_bytes(menu_pixels()))
    # The Windows 11 menu takes an icon, not a bitmap, and picks the size for the screen's scale.
    menu_icons = [(size, dib_bytes(menu_icon_pixels(size))) for size in MENU_SIZES]
    (OUT / "menu.ico").write_bytes(ico_bytes(menu_icons))
    ASSETS.mkdir(exist_ok=True)
    for name, (size, share) in LOGOS.items():
        (ASSETS / name).write_bytes(logo_png(size, share))
    check()


if __name__ == "__main__":
    main()
