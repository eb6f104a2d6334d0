#!/usr/bin/env python3
"""Reference model of the DIB library's pixel conversions: adaptive colour
reduction (histogram mode and per-pixel mode, 256 and 16 colours), the 8-to-4
bit palette reduction and the two error-diffusion halftones.

It is written for clarity, not speed: means and variances are exact fractions,
rounding is Python's round() (halves to even), partitions are list
comprehensions. The C++ code works with integer sums instead; the two are
meant to agree bit for bit, which is what the golden test checks.

    python3 tests/tools/convert_reference.py            # rewrite the golden header
    python3 tests/tools/convert_reference.py --check    # compare with the committed one
"""
from fractions import Fraction
import argparse
import os
import sys

# ---------------------------------------------------------------- test images


class Lcg:
    """32-bit linear congruential generator shared with the C++ tests."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF

    def byte(self):
        self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return self.state >> 24


def stride(width, bits):
    return ((width * bits + 31) // 32) * 4


def make_rgb_image(width, height, seed):
    """Rows of (r, g, b): gradients with noise, plus a few flat patches so
    that repeated colours and heavy bins occur."""
    rnd = Lcg(seed)
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            n1, n2, n3 = rnd.byte(), rnd.byte(), rnd.byte()
            if (x // 16 + y // 16) % 5 == 0:
                r, g, b = 200, (x * 2) & 255, 40
            else:
                r = (x * 2 + (n1 & 63)) & 255
                g = (y * 3 + (n2 & 127)) & 255
                b = ((x + y) + n3) & 255
            row.append((r, g, b))
        rows.append(row)
    return rows


def pack_24(rows):
    out = bytearray()
    width = len(rows[0])
    for row in rows:
        line = bytearray(stride(width, 24))
        for x, (r, g, b) in enumerate(row):
            line[3 * x:3 * x + 3] = bytes((b, g, r))
        out += line
    return bytes(out)


def make_8bit_image(width, height, seed):
    """A colour table of 256 random entries and pixels using 40 of them."""
    rnd = Lcg(seed)
    table = [(rnd.byte(), rnd.byte(), rnd.byte()) for _ in range(256)]
    used = [rnd.byte() for _ in range(40)]
    rows = [[used[rnd.byte() % 40] for _ in range(width)] for _ in range(height)]
    return table, rows


# ------------------------------------------------------------------ division


class Division:
    """Recursive mean split on the channel of largest weighted variance.

    Items are (r, g, b, weight, key). Leaves become palette entries in
    depth-first order, the part above the mean first. For the per-pixel mode a
    tree of nodes is recorded in the same numbering the C++ code uses."""

    def __init__(self, depth_limit, with_tree):
        self.depth_limit = depth_limit
        self.palette = []          # (r, g, b)
        self.leaf_of = {}          # key -> palette index
        self.steps = 0
        self.with_tree = with_tree
        self.nodes = {0: None}     # node number -> ('leaf', k) | ('split', ch, mean, upper, lower)
        self.node_count = 1

    def run(self, items):
        self._divide(items, 0, 0)

    def _divide(self, items, depth, node):
        if not items:
            self.steps += 2 ** (self.depth_limit - depth)
            return
        weight = sum(it[3] for it in items)
        means, variances = [], []
        for ch in range(3):
            s = sum(it[3] * it[ch] for it in items)
            q = sum(it[3] * it[ch] * it[ch] for it in items)
            m = Fraction(s, weight)
            means.append(m)
            variances.append(Fraction(q, weight) - m * m)
        if depth == self.depth_limit:
            k = len(self.palette)
            self.palette.append(tuple(round(m) for m in means))
            for it in items:
                self.leaf_of[it[4]] = k
            if self.with_tree:
                self.nodes[node] = ('leaf', k)
            self.steps += 1
            return
        r, g, b = 3 * variances[0], 4 * variances[1], 2 * variances[2]
        if r >= g and r >= b:
            ch = 0
        elif g >= b:
            ch = 1
        else:
            ch = 2
        mean = means[ch]
        upper = [it for it in items if it[ch] > mean]
        lower = [it for it in items if it[ch] <= mean]
        up_node = self.node_count
        self.node_count += 1
        self._divide(upper, depth + 1, up_node)
        low_node = self.node_count
        self.node_count += 1
        self._divide(lower, depth + 1, low_node)
        if self.with_tree:
            self.nodes[node] = ('split', ch, mean, up_node, low_node)

    def walk(self, rgb):
        node = 0
        while True:
            entry = self.nodes[node]
            if entry[0] == 'leaf':
                return entry[1]
            _, ch, mean, up_node, low_node = entry
            node = low_node if rgb[ch] <= mean else up_node


def bin_of(r, g, b):
    return (r >> 3) * 2048 + (g >> 2) * 32 + (b >> 3)


def reduce_low(rows, depth_limit):
    """Histogram of 5-6-5 bins, each bin's colour the truncated average of its
    pixels; the bins are divided with their pixel counts as weights."""
    sums = {}
    for row in rows:
        for r, g, b in row:
            k = bin_of(r, g, b)
            s = sums.setdefault(k, [0, 0, 0, 0])
            s[0] += r & 7
            s[1] += g & 3
            s[2] += b & 7
            s[3] += 1
    items = []
    for k in sorted(sums):
        sr, sg, sb, n = sums[k]
        items.append((sr // n + (k >> 11) * 8, sg // n + ((k >> 5) & 63) * 4,
                      sb // n + (k & 31) * 8, n, k))
    div = Division(depth_limit, False)
    div.run(items)
    assert div.steps == 2 ** depth_limit
    indices = [[div.leaf_of[bin_of(*p)] for p in row] for row in rows]
    return div.palette, indices


def reduce_high(rows, depth_limit):
    items = []
    for y, row in enumerate(rows):
        for x, (r, g, b) in enumerate(row):
            items.append((r, g, b, 1, (x, y)))
    div = Division(depth_limit, True)
    div.run(items)
    assert div.steps == 2 ** depth_limit
    assert div.node_count <= 512
    indices = [[div.walk(p) for p in row] for row in rows]
    # The walk must land where the division put each pixel.
    for y, row in enumerate(rows):
        for x in range(len(row)):
            assert indices[y][x] == div.leaf_of[(x, y)]
    return div.palette, indices


def reduce_8_to_4(table, rows):
    counts = [0] * 256
    for row in rows:
        for i in row:
            counts[i] += 1
    items = [(table[i][0], table[i][1], table[i][2], counts[i], i)
             for i in range(256) if counts[i] > 0]
    div = Division(4, False)
    div.run(items)
    assert div.steps == 16
    index_map = [div.leaf_of.get(i, 0) for i in range(256)]
    return div.palette, [[index_map[i] for i in row] for row in rows]


def pack_indices(indices, bits):
    width = len(indices[0])
    out = bytearray()
    for row in indices:
        line = bytearray(stride(width, bits))
        for x, i in enumerate(row):
            if bits == 8:
                line[x] = i
            elif bits == 4:
                line[x // 2] |= i << 4 if x % 2 == 0 else i
            else:
                if i:
                    line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


# ------------------------------------------------------------------ halftone

RED_LEVELS = (0, 51, 102, 153, 204, 255)
GREEN_LEVELS = (0, 43, 85, 128, 171, 214, 255)
BLUE_LEVELS = (0, 64, 128, 192, 255)
# Upper bound of each level index but the last, inclusive.
RED_BOUNDS = (25, 76, 127, 178, 230)
GREEN_BOUNDS = (21, 63, 106, 149, 192, 233)
BLUE_BOUNDS = (31, 95, 159, 223)


def level_index(v, bounds):
    for i, top in enumerate(bounds):
        if v <= top:
            return i
    return len(bounds)


def halftone_palette():
    pal = []
    for r in RED_LEVELS:
        for g in GREEN_LEVELS:
            for b in BLUE_LEVELS:
                pal.append((r, g, b))
    pal += [(128, 0, 0), (128, 128, 0), (128, 0, 128), (192, 192, 192), (128, 128, 128)]
    return pal


def trunc_div(a, b):
    q = abs(a) // b
    return q if a >= 0 else -q


def halftone(rows, black_white):
    """Serpentine error diffusion. The error of a pixel is (chosen - wanted);
    the next pixels subtract 12/32 of the error of their left (in scan order)
    neighbour, 12/32 of the one above and 5/32 of the one above-behind."""
    height, width = len(rows), len(rows[0])
    above = [(0, 0, 0)] * (width + 2)
    out_rows = []
    for y in range(height):
        current = [(0, 0, 0)] * (width + 2)
        out = [0] * width
        carried = (0, 0, 0)
        xs = range(width) if y % 2 == 0 else range(width - 1, -1, -1)
        for x in xs:
            colour = rows[y][x]
            diag = above[x] if y % 2 == 0 else above[x + 2]
            wanted = [colour[c] - trunc_div(12 * above[x + 1][c] + 12 * carried[c] + 5 * diag[c], 32)
                      for c in range(3)]
            if black_white:
                if sum(wanted) >= 384:
                    out[x] = 1
                    err = tuple(255 - v for v in wanted)
                else:
                    err = tuple(-v for v in wanted)
            else:
                ir = level_index(wanted[0], RED_BOUNDS)
                ig = level_index(wanted[1], GREEN_BOUNDS)
                ib = level_index(wanted[2], BLUE_BOUNDS)
                out[x] = 35 * ir + 5 * ig + ib
                err = (RED_LEVELS[ir] - wanted[0], GREEN_LEVELS[ig] - wanted[1],
                       BLUE_LEVELS[ib] - wanted[2])
                assert all(-32 <= e <= 32 for e in err)
            current[x + 1] = err
            carried = err
        # Rows are not carried over wholesale: the borders stay 0.
        above = current
        out_rows.append(out)
    return out_rows


# ------------------------------------------------------------------- golden


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for byte in data:
        h ^= byte
        h = (h * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def palette_hex(pal):
    return ''.join('%02x%02x%02x' % p for p in pal)


GOLDEN_WIDTH, GOLDEN_HEIGHT, GOLDEN_SEED = 123, 77, 20261208
SAMPLES = ((0, 0), (1, 0), (122, 0), (5, 1), (121, 1), (60, 38), (17, 55), (0, 76), (122, 76), (64, 70))


def golden_cases():
    rows = make_rgb_image(GOLDEN_WIDTH, GOLDEN_HEIGHT, GOLDEN_SEED)
    cases = []
    for name, fn, depth, bits in (('Low8', reduce_low, 8, 8), ('Low4', reduce_low, 4, 4),
                                  ('High8', reduce_high, 8, 8), ('High4', reduce_high, 4, 4)):
        pal, idx = fn(rows, depth)
        cases.append((name, pal, idx, bits))
    cases.append(('Halftone', halftone_palette(), halftone(rows, False), 8))
    cases.append(('HalftoneBW', [(0, 0, 0), (255, 255, 255)], halftone(rows, True), 1))
    table, rows8 = make_8bit_image(GOLDEN_WIDTH, GOLDEN_HEIGHT, GOLDEN_SEED + 1)
    pal, idx = reduce_8_to_4(table, rows8)
    cases.append(('From8To4', pal, idx, 4))
    return rows, cases


def render_header():
    rows, cases = golden_cases()
    lines = [
        '// Generated by tests/tools/convert_reference.py; do not edit.',
        '// Results of the reference model on the pseudo-random golden images.',
        '#pragma once',
        '#include <cstdint>',
        '',
        'namespace golden {',
        '',
        'constexpr int Width = %d, Height = %d;' % (GOLDEN_WIDTH, GOLDEN_HEIGHT),
        'constexpr std::uint32_t Seed = %du;' % GOLDEN_SEED,
        'constexpr std::uint64_t SourceHash = 0x%016xull;' % fnv1a64(pack_24(rows)),
        '',
        'struct TSample { int X, Y, Index; };',
        'struct TCase {',
        '  const char* Name;',
        '  int Bits;',
        '  int ColorCount;',
        '  const char* Palette;  // rrggbb per entry',
        '  std::uint64_t PixelHash;  // FNV-1a 64 of the whole packed pixel block',
        '  TSample Samples[%d];' % len(SAMPLES),
        '};',
        '',
        'constexpr TCase Cases[] = {',
    ]
    for name, pal, idx, bits in cases:
        block = pack_indices(idx, bits)
        hexpal = palette_hex(pal)
        chunks = [hexpal[i:i + 96] for i in range(0, len(hexpal), 96)]
        lines.append('    {"%s", %d, %d,' % (name, bits, len(pal)))
        for c in chunks:
            lines.append('     "%s"' % c)
        lines[-1] += ','
        lines.append('     0x%016xull,' % fnv1a64(block))
        lines.append('     {' + ', '.join('{%d, %d, %d}' % (x, y, idx[y][x]) for x, y in SAMPLES) + '}},')
    lines += ['};', '', '}  // namespace golden', '']
    return '\n'.join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--check', action='store_true', help='compare with the committed header')
    parser.add_argument('--out', default=os.path.join(os.path.dirname(__file__), '..', 'dib',
                                                      'ConvertGolden.h'))
    args = parser.parse_args()
    text = render_header()
    if args.check:
        with open(args.out, encoding='utf-8') as f:
            if f.read() != text:
                print('golden header differs from the reference model', file=sys.stderr)
                return 1
        print('golden header matches')
        return 0
    with open(args.out, 'w', encoding='utf-8', newline='\n') as f:
        f.write(text)
    return 0


if __name__ == '__main__':
    sys.exit(main())
