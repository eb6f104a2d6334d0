#!/usr/bin/env python3
"""Makes the test pictures of the image plug-in, and what it must return for each.

Every picture is drawn here as raw red, green, blue and alpha samples and encoded by
ImageMagick in a lossless form, so the expected DIB can be computed from the samples alone:
alpha composited on white, 16-bit samples reduced to the nearest 8-bit value, rows bottom-up,
blue-green-red, padded with zeros to 4 bytes. For each case NAME it writes NAME.<ext> and NAME.dib
(4-byte width, 4-byte height, then the pixel rows) into the folder given.
"""
import os
import shutil
import struct
import subprocess
import sys
import zlib

W, H = 37, 23  # an odd width, so rows need padding


def to8(v):
    return (v * 255 + 32767) // 65535


def on_white(c, a):
    return (c * a + 255 * (255 - a) + 127) // 255


def pattern(depth, alpha, gray=False, colors=None, seed=0):
    """Rows of (r, g, b, a) samples; depth 8 or 16. colors limits to a small palette."""
    top = 255 if depth == 8 else 65535
    rows = []
    for y in range(H):
        row = []
        for x in range(W):
            if colors:
                r, g, b = colors[(x // 3 + y // 2 + seed) % len(colors)]
                a = 0 if alpha and (x + y) % 7 == 0 else 255
            else:
                r = (x * 53 + y * 29 + seed * 11) * (1 if depth == 8 else 257 + 3) % (top + 1)
                g = (x * 17 + y * 61 + 40) * (1 if depth == 8 else 251) % (top + 1)
                b = (x * 5 + y * 7 + 200) * (1 if depth == 8 else 263) % (top + 1)
                if gray:
                    g = b = r
                # Every kind of alpha: clear, opaque, and values in between.
                a = top if not alpha else [0, top, top // 2, top // 3, 1, top - 1][(x + 2 * y) % 6]
            row.append((r, g, b, a))
        rows.append(row)
    return rows


def raw(rows, depth, channels):
    fmt = ">" + ("B" if depth == 8 else "H") * channels
    return b"".join(struct.pack(fmt, *px[:channels]) for row in rows for px in row)


def expected(rows, depth, width=W, height=H, left=0, top=0, canvas=None):
    cw, ch = canvas or (width, height)
    stride = (cw * 3 + 3) & ~3
    row = b"\xff" * (cw * 3) + b"\0" * (stride - cw * 3)  # white, zero padding
    out = bytearray(row * ch)
    for y, row in enumerate(rows):
        for x, (r, g, b, a) in enumerate(row):
            if depth == 16:
                r, g, b, a = to8(r), to8(g), to8(b), to8(a)
            cx, cy = left + x, top + y
            if 0 <= cx < cw and 0 <= cy < ch:
                o = (ch - 1 - cy) * stride + cx * 3
                out[o:o + 3] = bytes((on_white(b, a), on_white(g, a), on_white(r, a)))
    return struct.pack("<ii", cw, ch) + bytes(out)


def premultiplied_tiff(path):
    """An uncompressed RGBA TIFF with associated (premultiplied) alpha, written by hand, since
    ImageMagick would premultiply by its own rounding. Returns the expected DIB."""
    samples = []
    for y in range(H):
        for x in range(W):
            a = [0, 255, 128, 77, 1, 254][(x + 2 * y) % 6]
            samples.append(tuple((v * a) // 255 for v in ((x * 53) % 256, (y * 61) % 256, (x * y) % 256)) + (a,))
    pixels = b"".join(bytes(p) for p in samples)
    entries = [(256, 3, 1, W), (257, 3, 1, H), (258, 3, 4, None), (259, 3, 1, 1), (262, 3, 1, 2),
               (273, 4, 1, None), (277, 3, 1, 4), (278, 3, 1, H), (279, 4, 1, len(pixels)),
               (284, 3, 1, 1), (338, 3, 1, 1)]
    ifd_at = 8
    bits_at = ifd_at + 2 + 12 * len(entries) + 4
    data_at = bits_at + 8
    out = bytearray(b"II*\0" + struct.pack("<I", ifd_at) + struct.pack("<H", len(entries)))
    for tag, kind, count, value in entries:
        if tag == 258:
            value = bits_at
        elif tag == 273:
            value = data_at
        out += struct.pack("<HHI", tag, kind, count)
        out += struct.pack("<HH", value, 0) if kind == 3 and count == 1 else struct.pack("<I", value)
    out += struct.pack("<I", 0) + struct.pack("<4H", 8, 8, 8, 8) + pixels
    with open(path, "wb") as f:
        f.write(out)
    stride = (W * 3 + 3) & ~3
    dib = bytearray(b"\0" * (stride * H))
    for i, (r, g, b, a) in enumerate(samples):
        y, x = divmod(i, W)
        o = (H - 1 - y) * stride + x * 3
        dib[o:o + 3] = bytes(min(255, c + 255 - a) for c in (b, g, r))
    return struct.pack("<ii", W, H) + bytes(dib)


def tiff_file(path, width, height, tags, blocks, tile=None):
    """A little-endian TIFF of one directory, written by hand so that every tag is exactly as
    given. tags: {tag: (type, [values])} (3 SHORT, 4 LONG); blocks: the strips, or the tiles
    of tile x tile pixels."""
    fmt = {3: "H", 4: "I"}
    offsets, counts = (324, 325) if tile else (273, 279)
    tags = dict(tags)
    tags.update({256: (4, [width]), 257: (4, [height]), offsets: (4, [0] * len(blocks)),
                 counts: (4, [len(b) for b in blocks])})
    if tile:
        tags.update({322: (3, [tile]), 323: (3, [tile])})

    def packed(kind, values):
        return struct.pack("<%d%s" % (len(values), fmt[kind]), *values)

    ifd_size = 2 + 12 * len(tags) + 4
    outside = sum(len(packed(k, v)) for k, v in tags.values() if len(packed(k, v)) > 4)
    at = 8 + ifd_size + outside
    starts = []
    for b in blocks:
        starts.append(at)
        at += len(b)
    tags[offsets] = (4, starts)
    out = bytearray(b"II*\0" + struct.pack("<IH", 8, len(tags)))
    extra = bytearray()
    extra_at = 8 + ifd_size
    for tag in sorted(tags):
        kind, values = tags[tag]
        data = packed(kind, values)
        out += struct.pack("<HHI", tag, kind, len(values))
        if len(data) <= 4:
            out += data + b"\0" * (4 - len(data))
        else:
            out += struct.pack("<I", extra_at + len(extra))
            extra += data
    out += struct.pack("<I", 0) + extra + b"".join(blocks)
    with open(path, "wb") as f:
        f.write(out)


def oriented(rows, orientation):
    """The upright picture of rows stored with a TIFF Orientation: 2 mirrored, 3 turned half
    round, 4 upside down, 5 to 8 those four transposed first (5 transposed, 6 turned right,
    7 transverse, 8 turned left)."""
    if orientation >= 5:
        rows = [list(col) for col in zip(*rows)]  # stored row y becomes column y
    if orientation in (2, 3, 6, 7):
        rows = [row[::-1] for row in rows]
    if orientation in (3, 4, 7, 8):
        rows = rows[::-1]
    return rows


def orientation_tiffs(folder):
    """Each TIFF Orientation on the strip road (8-bit RGB strips) and on the RGBA road (an
    8-bit palette in strips, RGB in tiles), with a picture whose pixels all differ."""
    rgb = pattern(8, False)
    colors = [((i * 53) % 256, (i * 97 + 31) % 256, (i * 151 + 7) % 256) for i in range(256)]
    index = [[(x + y * W) % 256 for x in range(W)] for y in range(H)]
    indexed = [[colors[i] + (255,) for i in row] for row in index]
    colormap = [c[k] * 257 for k in range(3) for c in colors]
    # 32 x 32 x 3 bytes: libtiff 4.5 refuses an uncompressed tile whose size is no multiple of
    # 1 KB when it reads through a client's functions, as the plug-in does.
    tile = 32
    tiles = []
    for ty in range(0, H, tile):
        for tx in range(0, W, tile):
            block = bytearray()
            for y in range(ty, ty + tile):
                for x in range(tx, tx + tile):
                    block += bytes(rgb[y][x][:3]) if x < W and y < H else b"\0\0\0"
            tiles.append(bytes(block))
    common = {259: (3, [1]), 284: (3, [1])}
    for o in range(1, 9):
        tiff_file(os.path.join(folder, f"tiff-orient{o}.tif"), W, H,
                  {**common, 258: (3, [8, 8, 8]), 262: (3, [2]), 274: (3, [o]), 277: (3, [3]), 278: (3, [H])},
                  [raw(rgb, 8, 3)])
        tiff_file(os.path.join(folder, f"tiff-palette-orient{o}.tif"), W, H,
                  {**common, 258: (3, [8]), 262: (3, [3]), 274: (3, [o]), 277: (3, [1]), 278: (3, [H]),
                   320: (3, colormap)},
                  [bytes(i for row in index for i in row)])
        tiff_file(os.path.join(folder, f"tiff-tiled-orient{o}.tif"), W, H,
                  {**common, 258: (3, [8, 8, 8]), 262: (3, [2]), 274: (3, [o]), 277: (3, [3])}, tiles, tile)
        for name, rows in ((f"tiff-orient{o}", rgb), (f"tiff-palette-orient{o}", indexed), (f"tiff-tiled-orient{o}", rgb)):
            upright = oriented(rows, o)
            with open(os.path.join(folder, f"{name}.dib"), "wb") as f:
                f.write(expected(upright, 8, len(upright[0]), len(upright)))


def colormap_tiff(folder):
    """A palette TIFF whose 16-bit colour map entries lie where dropping the low byte and
    rounding to the nearest 8-bit value part: 0x00FF is 1, not 0; 0xFF00 is 254, not 255."""
    values = [0x00FF, 0x40FF, 0x2AC0, 0xC000, 0xFF00, 0xA310]
    for v in values:
        assert to8(v) != v >> 8, hex(v)
    colors = [(values[i % 6], values[(i + 2) % 6], values[(i + 4) % 6]) for i in range(6)]
    colormap = [0] * (3 * 256)
    for i, c in enumerate(colors):
        for k in range(3):
            colormap[k * 256 + i] = c[k]
    index = [[(x // 3 + y // 2) % len(colors) for x in range(W)] for y in range(H)]
    tiff_file(os.path.join(folder, "tiff-colormap.tif"), W, H,
              {259: (3, [1]), 284: (3, [1]), 258: (3, [8]), 262: (3, [3]), 277: (3, [1]), 278: (3, [H]),
               320: (3, colormap)},
              [bytes(i for row in index for i in row)])
    rows = [[tuple(to8(v) for v in colors[i]) + (255,) for i in row] for row in index]
    with open(os.path.join(folder, "tiff-colormap.dib"), "wb") as f:
        f.write(expected(rows, 8))


def icon_file(folder):
    """An icon of two pictures, written by hand: a small opaque one first, then the picture of
    W x H in 32-bit blue-green-red-alpha rows (bottom-up, as in a BMP, with the AND mask after
    them), which is the largest and so the one to decode."""
    def entry_image(rows):
        w, h = len(rows[0]), len(rows)
        mask_stride = (w + 31) // 32 * 4
        header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0, 0, 0, 0, 0, 0)
        xor = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
        return header + xor + b"\0" * (mask_stride * h)

    small = [[(200, 10, 10, 255)] * 8 for _ in range(8)]
    rows = pattern(8, True)
    images = [entry_image(small), entry_image(rows)]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    at = 6 + 16 * len(images)
    for image, (w, h) in zip(images, ((8, 8), (W, H))):
        out += struct.pack("<BBBBHHII", w, h, 0, 0, 1, 32, len(image), at)
        at += len(image)
    out += b"".join(images)
    with open(os.path.join(folder, "ico-rgba8.ico"), "wb") as f:
        f.write(out)
    with open(os.path.join(folder, "ico-rgba8.dib"), "wb") as f:
        f.write(expected(rows, 8))


def djpeg():
    """The reference decoder: djpeg of the libjpeg-turbo that the plug-in links, else any."""
    own = "/opt/tavex-deps/x86_64-linux-gnu/bin/djpeg"
    return own if os.path.exists(own) else shutil.which("djpeg")


def read_pnm(data):
    """Rows of (r, g, b, 255) from a binary PPM or PGM of 8-bit samples."""
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    at += 1
    kind, w, h = fields[0], int(fields[1]), int(fields[2])
    n = 3 if kind == b"P6" else 1
    px = data[at:at + w * h * n]
    return [[(tuple(px[(y * w + x) * n:(y * w + x) * n + n]) * 3)[:3] + (255,) for x in range(w)] for y in range(h)]


def segment(marker, payload):
    return bytes((0xFF, marker)) + struct.pack(">H", len(payload) + 2) + payload


def exif_block(orientation, big=False):
    """APP1's EXIF: the identifier, then a TIFF structure whose IFD0 holds the Orientation
    behind another tag, as cameras write it."""
    e = ">" if big else "<"
    tiff = (b"MM\0*" if big else b"II*\0") + struct.pack(e + "IH", 8, 2)
    tiff += struct.pack(e + "HHIHH", 0x010F, 2, 4, 0x4142, 0x4300)  # Make "ABC"
    tiff += struct.pack(e + "HHIHH", 0x0112, 3, 1, orientation, 0)
    return b"Exif\0\0" + tiff + struct.pack(e + "I", 0)


def jpeg_cases(folder, tmp):
    """JPEGs of every kind, each with the reference decoder's pixels turned by its EXIF
    Orientation as the DIB to expect: the plug-in decodes with the same library and the
    same settings, so the bytes must match exactly."""
    rows = pattern(8, False)
    with open(tmp, "wb") as f:
        f.write(raw(rows, 8, 3))
    kinds = {
        "baseline": ["-quality", "90", "-sampling-factor", "2x2"],
        "444": ["-quality", "95", "-sampling-factor", "1x1"],
        "progressive": ["-quality", "85", "-interlace", "Plane"],
        "gray": ["-colorspace", "Gray", "-quality", "90"],
        "ycck": ["-colorspace", "CMYK", "-quality", "90"],
    }
    made = {}
    for kind, args in kinds.items():
        path = os.path.join(folder, f"jpeg-{kind}.jpg")
        convert(["-size", f"{W}x{H}", "-depth", "8", f"rgb:{tmp}", "-strip"] + args, [], path)
        with open(path, "rb") as f:
            made[kind] = f.read()
    # libjpeg-turbo's own encoder for what ImageMagick does not offer: a restart marker after
    # every MCU row, and arithmetic coding.
    ppm = os.path.join(folder, "samples.ppm")
    with open(ppm, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (W, H) + raw(rows, 8, 3))
    cjpeg = os.path.join(os.path.dirname(djpeg()), "cjpeg")
    for kind, args in (("restart", ["-restart", "1"]), ("arithmetic", ["-arithmetic"])):
        made[kind] = subprocess.run([cjpeg, "-quality", "90"] + args + [ppm], check=True, stdout=subprocess.PIPE).stdout
    os.remove(ppm)
    assert b"\xff\xdd" in made["restart"] and b"\xff\xc9" in made["arithmetic"]
    ycck = made["ycck"]
    assert b"Adobe" in ycck[:64] and ycck[ycck.find(b"Adobe") + 11] == 2, "no YCCK from ImageMagick"
    # The same scans taken as plain CMYK: Adobe's transform code 0.
    cmyk = bytearray(ycck)
    cmyk[ycck.find(b"Adobe") + 11] = 0
    made["cmyk"] = bytes(cmyk)

    def write(name, data):
        path = os.path.join(folder, name + ".jpg")
        with open(path, "wb") as f:
            f.write(data)
        ref = read_pnm(subprocess.run([djpeg(), "-pnm", path], check=True, stdout=subprocess.PIPE).stdout)
        return ref

    def with_segments(data, *segments):
        return data[:2] + b"".join(segments) + data[2:]

    for kind, data in made.items():
        ref = write(f"jpeg-{kind}", data)
        with open(os.path.join(folder, f"jpeg-{kind}.dib"), "wb") as f:
            f.write(expected(ref, 8, len(ref[0]), len(ref)))
    # Every Orientation on the direct road (YCbCr), and some on the CMYK and progressive ones;
    # big-endian EXIF for the odd values.
    for kind, values in (("baseline", range(1, 9)), ("ycck", (3, 6)), ("progressive", (5, 8)), ("gray", (7,))):
        for o in values:
            name = f"jpeg-{kind}-orient{o}"
            ref = write(name, with_segments(made[kind], segment(0xE1, exif_block(o, big=o % 2 == 1))))
            upright = oriented(ref, o)
            with open(os.path.join(folder, name + ".dib"), "wb") as f:
                f.write(expected(upright, 8, len(upright[0]), len(upright)))
    # A profile of 70000 bytes in two APP2 chunks, which is no valid profile: the picture
    # stays as the samples say.
    icc = bytes((i * 7) % 256 for i in range(70000))
    chunks = [icc[:65519], icc[65519:]]
    app2 = [segment(0xE2, b"ICC_PROFILE\0" + bytes((i + 1, len(chunks))) + c) for i, c in enumerate(chunks)]
    ref = write("jpeg-icc", with_segments(made["baseline"], *app2))
    with open(os.path.join(folder, "jpeg-icc.dib"), "wb") as f:
        f.write(expected(ref, 8))


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def riff_chunk(kind, data):
    return kind + struct.pack("<I", len(data)) + data + (b"\0" if len(data) % 2 else b"")


def webp_with_exif(webp, exif):
    """The WebP with an EXIF chunk at its end, where libwebp's muxer puts it, announced in the
    extended header (made when the file has none)."""
    body = webp[12:]
    if body[:4] != b"VP8X":
        w, h = W, H
        body = riff_chunk(b"VP8X", bytes(4) + struct.pack("<I", w - 1)[:3] + struct.pack("<I", h - 1)[:3]) + body
        if b"ALPH" in body or (body[18:22] == b"VP8L" and body[26 + 4] >> 4 & 1):
            body = body[:8] + bytes((body[8] | 0x10,)) + body[9:]
    body = body[:8] + bytes((body[8] | 0x08,)) + body[9:] + riff_chunk(b"EXIF", exif)
    return b"RIFF" + struct.pack("<I", len(body) + 4) + b"WEBP" + body


def exif_cases(folder):
    """The EXIF Orientation in the other formats: a PNG eXIf chunk (bare TIFF structure), a
    WebP EXIF chunk (with and without the identifier), and a TIFF whose EXIF directory holds
    an Orientation of its own, which must not count on top of the TIFF tag."""
    for src, values in (("png-rgb8", range(1, 9)), ("png-rgba16", (6,)), ("png-interlaced", (5,)), ("png-palette", (8,))):
        with open(os.path.join(folder, src + ".png"), "rb") as f:
            png = f.read()
        rows = read_dib_rows(os.path.join(folder, src + ".dib"))
        for o in values:
            name = f"{src}-orient{o}"
            # After IHDR: signature 8, IHDR chunk 25.
            data = png[:33] + png_chunk(b"eXIf", exif_block(o, big=o % 2 == 0)[6:]) + png[33:]
            write_oriented(folder, name, "png", data, rows, o)
    for src, values, prefix in (("webp-lossless", (6, 7), True), ("webp-lossless", (3,), False), ("webp-animated", (8,), True)):
        with open(os.path.join(folder, src + ".webp"), "rb") as f:
            webp = f.read()
        rows = read_dib_rows(os.path.join(folder, src + ".dib"))
        for o in values:
            block = exif_block(o)
            data = webp_with_exif(webp, block if prefix else block[6:])
            write_oriented(folder, f"{src}-orient{o}{'' if prefix else '-bare'}", "webp", data, rows, o)
    # TIFF: Orientation 6 in IFD0, 3 in the EXIF directory; 6 is the picture's.
    rgb = pattern(8, False)
    path = os.path.join(folder, "tiff-exif-orient6.tif")
    tags = {259: (3, [1]), 284: (3, [1]), 258: (3, [8, 8, 8]), 262: (3, [2]), 274: (3, [6]), 277: (3, [3]),
            278: (3, [H]), 34665: (4, [0])}
    tiff_file(path, W, H, tags, [raw(rgb, 8, 3)])
    with open(path, "rb") as f:
        tif = bytearray(f.read())
    at = len(tif)
    sub = struct.pack("<HHHIHHI", 1, 0x0112, 3, 1, 3, 0, 0)
    tif += sub
    count = struct.unpack("<H", tif[8:10])[0]
    for i in range(count):
        e = 10 + 12 * i
        if struct.unpack("<H", tif[e:e + 2])[0] == 34665:
            tif[e + 8:e + 12] = struct.pack("<I", at)
    with open(path, "wb") as f:
        f.write(tif)
    upright = oriented(rgb, 6)
    with open(os.path.join(folder, "tiff-exif-orient6.dib"), "wb") as f:
        f.write(expected(upright, 8, len(upright[0]), len(upright)))


def read_dib_rows(path):
    """The upright rows of an expected DIB written above, as opaque (r, g, b, 255)."""
    with open(path, "rb") as f:
        b = f.read()
    w, h = struct.unpack("<ii", b[:8])
    stride = (w * 3 + 3) & ~3
    return [[tuple(b[8 + (h - 1 - y) * stride + x * 3:8 + (h - 1 - y) * stride + x * 3 + 3][::-1]) + (255,)
             for x in range(w)] for y in range(h)]


def write_oriented(folder, name, ext, data, rows, o):
    with open(os.path.join(folder, f"{name}.{ext}"), "wb") as f:
        f.write(data)
    upright = oriented(rows, o)
    with open(os.path.join(folder, f"{name}.dib"), "wb") as f:
        f.write(expected(upright, 8, len(upright[0]), len(upright)))


def s15(v):
    return struct.pack(">i", int(round(v * 65536)))


def icc_profile(space, kind, tags):
    """A version 2 ICC profile of the given colour space and class around tags {signature:
    data}, with the description and white point every profile has."""
    desc = b"desc" + bytes(4) + struct.pack(">I", 5) + b"test\0" + bytes(4 + 4 + 2 + 1 + 67)
    tags = {b"desc": desc, b"cprt": b"text" + bytes(4) + b"none\0",
            b"wtpt": b"XYZ " + bytes(4) + s15(0.9642) + s15(1.0) + s15(0.8249), **tags}
    table_size = 4 + 12 * len(tags)
    at = 128 + table_size
    table, body = struct.pack(">I", len(tags)), b""
    for sig, data in tags.items():
        data += bytes(-len(data) % 4)
        table += sig + struct.pack(">II", at + len(body), len(data))
        body += data
    size = 128 + table_size + len(body)
    header = struct.pack(">I", size) + bytes(4) + struct.pack(">I", 0x02100000) + kind + space + b"XYZ "
    header += bytes(12) + b"acsp" + bytes(4 + 4 + 4 + 4 + 8 + 4) + s15(0.9642) + s15(1.0) + s15(0.8249)
    header += bytes(128 - len(header))
    return header + table + body


def linear_rgb_profile():
    """sRGB's primaries with a straight (gamma 1) curve: a mid-grey sample means half the light,
    which sRGB writes as about 188."""
    xyz = lambda x, y, z: b"XYZ " + bytes(4) + s15(x) + s15(y) + s15(z)
    curve = b"curv" + bytes(4) + struct.pack(">IH", 1, 0x0100)
    return icc_profile(b"RGB ", b"mntr", {
        b"rXYZ": xyz(0.4361, 0.2225, 0.0139), b"gXYZ": xyz(0.3851, 0.7169, 0.0971),
        b"bXYZ": xyz(0.1431, 0.0606, 0.7141), b"rTRC": curve, b"gTRC": curve, b"bTRC": curve})


def adobe_rgb_profile():
    """Adobe RGB (1998) as its published D50-adapted colorants and its 2.2 (563/256) curve."""
    xyz = lambda x, y, z: b"XYZ " + bytes(4) + s15(x) + s15(y) + s15(z)
    curve = b"curv" + bytes(4) + struct.pack(">IH", 1, 0x0233)
    return icc_profile(b"RGB ", b"mntr", {
        b"rXYZ": xyz(0.6097, 0.3111, 0.0195), b"gXYZ": xyz(0.2053, 0.6257, 0.0609),
        b"bXYZ": xyz(0.1492, 0.0632, 0.7446), b"rTRC": curve, b"gTRC": curve, b"bTRC": curve})


def transicc_to_srgb(rows, profile_path):
    """lcms2's own command-line conversion (perceptual, clipped) of opaque rows to sRGB."""
    text = "".join(f"{px[0]} {px[1]} {px[2]}\n" for row in rows for px in row)
    out = subprocess.run(["transicc", "-n", "-s", "-t0", "-i" + profile_path, "-o*sRGB"], input=text, check=True,
                         capture_output=True, text=True).stdout.split()
    values = [min(255, max(0, int(round(float(v))))) for v in out]
    w = len(rows[0])
    assert len(values) == 3 * w * len(rows), "transicc gave %d values" % len(values)
    return [[tuple(values[(y * w + x) * 3:(y * w + x) * 3 + 3]) + (255,) for x in range(w)] for y in range(len(rows))]


def white_cmyk_profile():
    """A CMYK profile whose table gives paper white for every ink: whatever the samples, the
    picture is white, where the plain ink formula would give the picture."""
    grid = 2
    identity = struct.pack(">2H", 0, 65535)
    white = struct.pack(">3H", 31595, 32768, 27030)  # D50 in the 16-bit XYZ encoding
    lut = b"mft2" + bytes(4) + bytes((4, 3, grid, 0))
    lut += b"".join(s15(v) for v in (1, 0, 0, 0, 1, 0, 0, 0, 1))
    lut += struct.pack(">HH", 2, 2) + identity * 4 + white * grid ** 4 + identity * 3
    return icc_profile(b"CMYK", b"prtr", {b"A2B0": lut})


def srgb_from_linear(v):
    c = v / 255
    e = 12.92 * c if c <= 0.0031308 else 1.055 * c ** (1 / 2.4) - 0.055
    return int(round(e * 255))


def profile_cases(folder):
    """Embedded profiles that change the picture: JPEG APP2 (RGB and CMYK) and a version 5
    BMP's embedded profile. The DIB to expect is computed from the samples, so the test allows
    the colour engine's rounding (a step or two)."""
    with open(os.path.join(folder, "jpeg-baseline.jpg"), "rb") as f:
        base = f.read()
    with open(os.path.join(folder, "jpeg-ycck.jpg"), "rb") as f:
        ycck = f.read()
    for name, data, icc in (("jpeg-linear-icc", base, linear_rgb_profile()),
                            ("jpeg-ycck-white-icc", ycck, white_cmyk_profile())):
        app2 = segment(0xE2, b"ICC_PROFILE\0" + bytes((1, 1)) + icc)
        with open(os.path.join(folder, name + ".jpg"), "wb") as f:
            f.write(data[:2] + app2 + data[2:])
    ref = read_dib_rows(os.path.join(folder, "jpeg-baseline.dib"))
    lin = [[tuple(srgb_from_linear(c) for c in px[:3]) + (255,) for px in row] for row in ref]
    with open(os.path.join(folder, "jpeg-linear-icc.dib"), "wb") as f:
        f.write(expected(lin, 8))
    with open(os.path.join(folder, "jpeg-ycck-white-icc.dib"), "wb") as f:
        f.write(expected([[(255, 255, 255, 255)] * W for _ in range(H)], 8))
    # Adobe RGB in a JPEG's APP2 and a PNG's iCCP, against lcms2's transicc.
    adobe = adobe_rgb_profile()
    adobe_path = os.path.join(folder, "adobe.icc")
    with open(adobe_path, "wb") as f:
        f.write(adobe)
    with open(os.path.join(folder, "jpeg-adobe-icc.jpg"), "wb") as f:
        f.write(base[:2] + segment(0xE2, b"ICC_PROFILE\0" + bytes((1, 1)) + adobe) + base[2:])
    with open(os.path.join(folder, "jpeg-adobe-icc.dib"), "wb") as f:
        f.write(expected(transicc_to_srgb(ref, adobe_path), 8))
    rgb = pattern(8, False)
    png_file(os.path.join(folder, "png-adobe-icc.png"), rgb, 8, False, icc=adobe)
    with open(os.path.join(folder, "png-adobe-icc.dib"), "wb") as f:
        f.write(expected(transicc_to_srgb(rgb, adobe_path), 8))
    os.remove(adobe_path)
    # A 24-bit version 5 BMP, bottom-up, the profile after the pixels.
    rows = pattern(8, False)
    stride = (W * 3 + 3) & ~3
    pixels = b"".join(bytes(c for px in row for c in (px[2], px[1], px[0])) + bytes(stride - W * 3)
                      for row in reversed(rows))
    icc = linear_rgb_profile()
    info = struct.pack("<IiiHHIIiiII", 124, W, H, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    info += bytes(16) + b"DEBM" + bytes(36 + 12) + struct.pack("<IIII", 4, 124 + len(pixels), len(icc), 0)
    offset = 14 + len(info)
    bmp = b"BM" + struct.pack("<IHHI", offset + len(pixels) + len(icc), 0, 0, offset) + info + pixels + icc
    with open(os.path.join(folder, "bmp-linear-icc.bmp"), "wb") as f:
        f.write(bmp)
    with open(os.path.join(folder, "bmp-linear-icc.dib"), "wb") as f:
        f.write(expected([[tuple(srgb_from_linear(c) for c in px[:3]) + (255,) for px in row] for row in rows], 8))


def convert(args, inputs, out):
    subprocess.run(["convert", *args, *inputs, out], check=True)


# ---- HEIF and AVIF ---------------------------------------------------------------------------
# libheif's own tools write them (heif-enc) and give the reference decode (heif-convert): the
# plug-in decodes through the same library, so its DIB is computed exactly from that decode.


def to16(v, bits):
    """An n-bit sample as 16 bits, as the plug-in scales it before its 16-to-8-bit rule."""
    top = (1 << bits) - 1
    return (v * 65535 + top // 2) // top


def linear_icc():
    """An RGB display profile with sRGB's primaries and straight (gamma 1) curves: what it
    describes is far from sRGB, so converting it changes every mid-tone."""
    def s15(v):
        return struct.pack(">i", int(round(v * 65536)))

    def xyz(x, y, z):
        return b"XYZ " + b"\0" * 4 + s15(x) + s15(y) + s15(z)

    curve = b"curv" + b"\0" * 4 + struct.pack(">IH", 1, 0x0100) + b"\0\0"
    tags = [(b"wtpt", xyz(0.9642, 1.0, 0.8249)), (b"rXYZ", xyz(0.4361, 0.2225, 0.0139)),
            (b"gXYZ", xyz(0.3851, 0.7169, 0.0971)), (b"bXYZ", xyz(0.1431, 0.0606, 0.7141)),
            (b"rTRC", curve), (b"gTRC", curve), (b"bTRC", curve)]
    at = 128 + 4 + 12 * len(tags)
    table, data = b"", b""
    for sig, body in tags:
        table += sig + struct.pack(">II", at + len(data), len(body))
        data += body + b"\0" * (-len(body) % 4)
    size = at + len(data)
    header = (struct.pack(">I", size) + b"\0" * 4 + struct.pack(">I", 0x02100000) + b"mntrRGB XYZ " + b"\0" * 12 +
              b"acsp" + b"\0" * 28 + s15(0.9642) + s15(1.0) + s15(0.8249) + b"\0" * 48)
    assert len(header) == 128
    return header + struct.pack(">I", len(tags)) + table + data


def png_file(path, rows, depth, alpha, exif=None, icc=None):
    """A PNG of the rows, written here so that an eXIf or iCCP chunk can go in."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    channels = 4 if alpha else 3
    fmt = ">" + ("B" if depth == 8 else "H") * channels
    lines = b"".join(b"\0" + b"".join(struct.pack(fmt, *px[:channels]) for px in row) for row in rows)
    ihdr = struct.pack(">IIBBBBB", len(rows[0]), len(rows), depth, 6 if alpha else 2, 0, 0, 0)
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
    if exif is not None:
        out += chunk(b"eXIf", exif)
    if icc is not None:
        out += chunk(b"iCCP", b"linear\0\0" + zlib.compress(icc))
    out += chunk(b"IDAT", zlib.compress(lines)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(out)


def heif_exif_block(orientation):
    """A big-endian TIFF structure of one directory holding only the Orientation."""
    return b"MM\0*" + struct.pack(">IH", 8, 1) + struct.pack(">HHIHH", 0x112, 3, 1, orientation, 0) + b"\0" * 4


def set_exif_orientation(path, orientation):
    """Rewrites the Orientation value of the Exif item in place: heif-enc keeps a PNG's eXIf
    block but sets its Orientation to 1, and the item is stored uncompressed."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    tag = b"MM\0*" + struct.pack(">IH", 8, 1) + struct.pack(">HHI", 0x112, 3, 1)
    at = data.find(tag)
    assert at >= 0 and data.find(tag, at + 1) < 0, "no single Exif Orientation in " + path
    data[at + len(tag):at + len(tag) + 2] = struct.pack(">H", orientation)
    with open(path, "wb") as f:
        f.write(data)


def heif_reference(path, folder):
    """heif-convert's decode of path: rows of (r, g, b, a) at the file's own bit depth (its
    16-bit PNGs repeat the top bits below, so the n-bit value is the top n bits), and n."""
    ref = os.path.join(folder, "reference.png")
    subprocess.run(["heif-convert", path, ref], check=True, stdout=subprocess.DEVNULL)
    depth = int(subprocess.run(["identify", "-format", "%z", ref], check=True, capture_output=True).stdout)
    w, h = (int(v) for v in subprocess.run(["identify", "-format", "%w %h", ref], check=True,
                                           capture_output=True).stdout.split())
    samples = subprocess.run(["convert", ref, "-depth", str(depth), "-endian", "MSB", "rgba:-"], check=True,
                             capture_output=True).stdout
    os.remove(ref)
    fmt = ">%d%s" % (w * h * 4, "B" if depth == 8 else "H")
    values = struct.unpack(fmt, samples)
    return [[tuple(values[(y * w + x) * 4:(y * w + x) * 4 + 4]) for x in range(w)] for y in range(h)], depth


def heif_dib(rows, depth, bits):
    """The DIB the plug-in must make of the reference rows, whose samples have bits bits."""
    if depth == 16:
        rows = [[tuple(to16(v >> (16 - bits), bits) for v in px) for px in row] for row in rows]
    return expected(rows, depth, len(rows[0]), len(rows))


def replace_pixi(path, kind, value):
    """Turns the file's one pixi property (16 bytes, tied to the primary item) into an irot or
    imir of the same size, its value byte first: heif-enc here writes neither, and a box of
    the same size leaves every offset in the file as it was."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    pixi = b"\0\0\0\x10pixi"
    at = data.find(pixi)
    assert at >= 0 and data.find(pixi, at + 1) < 0, "no single pixi in " + path
    data[at:at + 16] = b"\0\0\0\x10" + kind + bytes([value]) + b"\0" * 7
    with open(path, "wb") as f:
        f.write(data)


def heif_case(folder, name, ext, rows, depth, alpha, args, bits=8, orientation=None, transform=None, tool="heif-enc",
              icc=None):
    """orientation: an Exif item saying so; transform: (b"irot" or b"imir", value) as well;
    icc: a profile for the colr box (the DIB written is then the pixels as stored)."""
    src = os.path.join(folder, name + ".src.png")
    out = os.path.join(folder, f"{name}.{ext}")
    png_file(src, rows, depth, alpha, None if orientation is None else heif_exif_block(1), icc)
    if tool == "heif-enc":
        subprocess.run(["heif-enc", *args, src, "-o", out], check=True, stdout=subprocess.DEVNULL)
    else:
        convert(args, [src], out)
    os.remove(src)
    if orientation is not None:
        set_exif_orientation(out, orientation)
    if transform is not None:
        replace_pixi(out, *transform)
    # libheif applies irot and imir and never the Exif Orientation; the plug-in adds the
    # latter only where the former are missing.
    ref, ref_depth = heif_reference(out, folder)
    if orientation is not None and transform is None:
        ref = oriented(ref, orientation)
    with open(os.path.join(folder, f"{name}.dib"), "wb") as f:
        f.write(heif_dib(ref, ref_depth, bits))


def heif_files(folder):
    lossless = ["-L", "-p", "chroma=444", "--matrix_coefficients=0"]
    rgba8, rgb8 = pattern(8, True), pattern(8, False)
    rgb16 = pattern(16, False)
    heif_case(folder, "heic-rgba8", "heic", rgba8, 8, True, lossless)
    heif_case(folder, "heic-rgb10", "heic", rgb16, 16, False, lossless + ["-b", "10"], bits=10)
    heif_case(folder, "heic-rgba12", "heic", pattern(16, True), 16, True, lossless + ["-b", "12"], bits=12)
    heif_case(folder, "avif-rgba8", "avif", rgba8, 8, True, lossless)
    # Lossy, through the colour conversion of YCbCr at depth: 12 bits 4:2:0, and 10 bits 4:2:2
    # (aom here asserts on 10-bit 4:2:0 and 4:4:4 from heif-enc).
    heif_case(folder, "avif-rgb12", "avif", rgb16, 16, False, ["-q", "90", "-b", "12"], bits=12)
    heif_case(folder, "avif-rgb10", "avif", rgb16, 16, False, ["-q", "90", "-b", "10", "-p", "chroma=422"], bits=10)
    # ImageMagick's writer: YCbCr 4:2:0, lossy.
    heif_case(folder, "heic-magick", "heic", rgb8, 8, False, ["-quality", "100"], tool="convert")
    heif_case(folder, "avif-magick", "avif", rgb8, 8, False, ["-quality", "100"], tool="convert")
    # Exif Orientation without irot/imir: the plug-in turns the picture.
    for o in range(1, 9):
        heif_case(folder, f"heic-exif-orient{o}", "heic", rgb8, 8, False, lossless, orientation=o)
    # A turn (irot: a quarter anticlockwise) or a mirror (imir) and an Exif Orientation that
    # says otherwise: turned once, by libheif, as heif-convert shows it.
    heif_case(folder, "heic-irot-exif6", "heic", rgb8, 8, False, lossless, orientation=6, transform=(b"irot", 1))
    heif_case(folder, "heic-imir-exif3", "heic", rgb8, 8, False, lossless, orientation=3, transform=(b"imir", 1))
    # An ICC profile in colr: the DIB written holds the stored pixels, which the test converts
    # itself; the profile goes beside as a file of its own.
    profile = linear_icc()
    with open(os.path.join(folder, "linear.icc"), "wb") as f:
        f.write(profile)
    heif_case(folder, "heic-icc", "heic", rgb8, 8, False, lossless, icc=profile)
    with open(os.path.join(folder, "heic-icc.heic"), "rb") as f:
        assert b"colrprof" in f.read(), "heif-enc wrote no profile"
    # Frames of 2048 x 2048 in a few hundred bytes, for the tests that make their ispe lie:
    # files only, no DIB to compare.
    flat = os.path.join(folder, "flat.png")
    convert(["-size", "2048x2048", "xc:gray50"], [], flat)
    for ext in ("heic", "avif"):
        subprocess.run(["heif-enc", "-q", "10", flat, "-o", os.path.join(folder, f"{ext}-flat2k.{ext}")], check=True,
                       stdout=subprocess.DEVNULL)
    os.remove(flat)


PALETTE = [(255, 0, 0), (0, 128, 255), (12, 34, 56), (250, 250, 5), (0, 0, 0), (255, 255, 255), (99, 1, 200)]


def main(folder):
    os.makedirs(folder, exist_ok=True)
    tmp = os.path.join(folder, "samples.raw")
    tmp2 = os.path.join(folder, "samples2.raw")

    def case(name, ext, rows, depth, channels, args, dib=None, extra_pages=None):
        with open(tmp, "wb") as f:
            f.write(raw(rows, depth, channels))
        mode = {1: "gray", 3: "rgb", 4: "rgba"}[channels]
        inputs = [f"{mode}:{tmp}"]
        if extra_pages is not None:
            with open(tmp2, "wb") as f:
                f.write(raw(extra_pages, depth, channels))
            inputs.append(f"{mode}:{tmp2}")
        convert(["-size", f"{W}x{H}", "-depth", str(depth), "-endian", "MSB"] + args, inputs, os.path.join(folder, f"{name}.{ext}"))
        with open(os.path.join(folder, f"{name}.dib"), "wb") as f:
            f.write(dib if dib is not None else expected(rows, depth))

    case("png-rgb8", "png", pattern(8, False), 8, 3, [], None)
    case("png-rgba8", "png", pattern(8, True), 8, 4, ["-define", "png:format=png32"])
    case("png-rgb16", "png", pattern(16, False), 16, 3, ["-define", "png:format=png48"])
    case("png-rgba16", "png", pattern(16, True), 16, 4, ["-define", "png:format=png64"])
    case("png-gray8", "png", pattern(8, False, gray=True), 8, 1, ["-define", "png:color-type=0"])
    case("png-palette", "png", pattern(8, True, colors=PALETTE), 8, 4, ["-define", "png:format=png8"])
    case("png-interlaced", "png", pattern(8, True), 8, 4, ["-interlace", "PNG", "-define", "png:format=png32"])
    case("png-interlaced-rgb", "png", pattern(8, False), 8, 3, ["-interlace", "PNG"])
    case("gif-palette", "gif", pattern(8, True, colors=PALETTE), 8, 4, [])
    case("gif-interlaced", "gif", pattern(8, False, colors=PALETTE), 8, 3, ["-interlace", "GIF"])
    case("tiff-rgb8", "tif", pattern(8, False), 8, 3, ["-compress", "LZW"])
    case("tiff-rgba8", "tif", pattern(8, True), 8, 4, ["-compress", "Zip", "-define", "tiff:alpha=unassociated"])
    case("tiff-rgba16", "tif", pattern(16, True), 16, 4, ["-compress", "None", "-define", "tiff:alpha=unassociated"])
    case("tiff-gray8", "tif", pattern(8, False, gray=True), 8, 1, ["-compress", "None"])
    with open(os.path.join(folder, "tiff-premultiplied.dib"), "wb") as f:
        f.write(premultiplied_tiff(os.path.join(folder, "tiff-premultiplied.tif")))
    # Two pages: only the first is the picture.
    case("tiff-pages", "tif", pattern(8, False), 8, 3, ["-compress", "LZW"],
         extra_pages=pattern(8, False, seed=5))
    # A first frame smaller than its logical screen, placed at (5, 4): the rest is white.
    small = [row[:20] for row in pattern(8, False, colors=PALETTE)[:10]]
    with open(tmp, "wb") as f:
        f.write(raw(small, 8, 3))
    convert(["-size", "20x10", "-depth", "8", f"rgb:{tmp}", "-repage", f"{W}x{H}+5+4"], [],
            os.path.join(folder, "gif-offset.gif"))
    with open(os.path.join(folder, "gif-offset.dib"), "wb") as f:
        f.write(expected(small, 8, 20, 10, 5, 4, (W, H)))
    case("webp-lossless", "webp", pattern(8, True), 8, 4,
         ["-define", "webp:lossless=true", "-define", "webp:exact=true"])
    # An animation: the first frame is the picture.
    case("webp-animated", "webp", pattern(8, True), 8, 4,
         ["-define", "webp:lossless=true", "-define", "webp:exact=true"], extra_pages=pattern(8, True, seed=5))
    with open(os.path.join(folder, "webp-animated.webp"), "rb") as f:
        assert b"ANIM" in f.read(), "ImageMagick wrote no animation"
    orientation_tiffs(folder)
    colormap_tiff(folder)
    heif_files(folder)
    jpeg_cases(folder, tmp)
    exif_cases(folder)
    profile_cases(folder)
    # Lossy: the expected pixels are what this machine's libwebp (the version every build
    # links) decodes, through ImageMagick.
    case("webp-lossy", "webp", pattern(8, False), 8, 3, ["-quality", "80"], dib=struct.pack("<ii", W, H))
    decoded = subprocess.run(["convert", os.path.join(folder, "webp-lossy.webp"), "-depth", "8", "rgb:-"],
                             check=True, capture_output=True).stdout
    assert len(decoded) == W * H * 3, len(decoded)
    lossy = [[tuple(decoded[(y * W + x) * 3:(y * W + x) * 3 + 3]) + (255,) for x in range(W)] for y in range(H)]
    with open(os.path.join(folder, "webp-lossy.dib"), "wb") as f:
        f.write(expected(lossy, 8))
    icon_file(folder)
    os.remove(tmp)
    os.remove(tmp2)


if __name__ == "__main__":
    main(sys.argv[1])
