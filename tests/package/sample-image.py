#!/usr/bin/env python3
"""The package tests' picture: an 8 x 8 PNG, red above blue.

  sample-image.py write FILE.png   writes it, byte by byte
  sample-image.py check FILE.jpg   status 0 when the JPEG (decoded by djpeg) shows it: red
                                   rows above blue ones, within the encoder's rounding (the
                                   two rows at the edge mix, the colour being subsampled)
"""
import struct
import subprocess
import sys
import zlib

RED, BLUE = (255, 0, 0), (0, 0, 255)


def png():
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = b"".join(b"\0" + bytes(RED if y < 4 else BLUE) * 8 for y in range(8))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 8, 8, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def check(path):
    data = subprocess.run(["djpeg", "-pnm", path], capture_output=True, check=True).stdout
    head = b"P6\n8 8\n255\n"
    if not data.startswith(head):
        return "%s is no 8 x 8 colour picture (%r)" % (path, data[:16])
    pixels = data[len(head):]
    for y in (0, 1, 2, 5, 6, 7):
        for x in range(8):
            got = tuple(pixels[3 * (8 * y + x):3 * (8 * y + x) + 3])
            want = RED if y < 4 else BLUE
            if any(abs(g - w) > 8 for g, w in zip(got, want)):
                return "%s: pixel %d, %d is %s, not %s" % (path, x, y, got, want)
    return None


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("write", "check"):
        sys.exit(__doc__)
    if sys.argv[1] == "write":
        with open(sys.argv[2], "wb") as f:
            f.write(png())
        sys.exit(0)
    problem = check(sys.argv[2])
    if problem:
        sys.exit(problem)
