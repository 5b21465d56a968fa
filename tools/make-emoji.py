#!/usr/bin/env python3
"""Renders the emoji pictures that message views show: one PNG per code
point, named by its upper-case hexadecimal value, from a colour emoji font.

Pictures are made for the symbols shown as single UTF-16 units and for every
code point of U+1F000..U+1F7FF (the surrogate pairs that begin with D83C or
D83D) that the font has. The old private-use codes U+E000..U+E537 that older
phones send are drawn as the standard emoji they stand for, taken from the
"softbank" field of an emoji data file (--pua-map, emoji.json of the npm
package emoji-datasource); without that file they are left out.
"""
import argparse
import json
import os
import struct
import sys
from concurrent.futures import ProcessPoolExecutor

from PIL import Image, ImageDraw, ImageFont

SYMBOLS = [
    0x203C, 0x2049, 0x2139, 0x2194, 0x2195, 0x21A9, 0x21AA, 0x231A, 0x231B, 0x23EB,
    0x23EC, 0x23F0, 0x23F3, 0x24C2, 0x25AA, 0x25AB, 0x25FB, 0x25FC, 0x25FD, 0x25FE,
    0x2611, 0x267B, 0x2693, 0x26AA, 0x26AB, 0x26C5, 0x26D4, 0x2705, 0x2709, 0x270F,
    0x2712, 0x2714, 0x2744, 0x2747, 0x274E, 0x2795, 0x2796, 0x2797, 0x27B0, 0x2934,
    0x2935, 0x2B1B, 0x2B1C, 0x3030,
]
PAIR_RANGE = range(0x1F000, 0x1F800)
BITMAP_SIZE = 109  # the one strike of a CBDT colour font


def font_code_points(path):
    """The code points mapped by the font's Unicode cmap (formats 4 and 12)."""
    with open(path, 'rb') as f:
        data = f.read()
    num_tables = struct.unpack_from('>H', data, 4)[0]
    cmap = None
    for i in range(num_tables):
        tag, _, offset, _ = struct.unpack_from('>4sIII', data, 12 + 16 * i)
        if tag == b'cmap':
            cmap = offset
    if cmap is None:
        return set()
    points = set()
    count = struct.unpack_from('>H', data, cmap + 2)[0]
    for i in range(count):
        platform, encoding, offset = struct.unpack_from('>HHI', data, cmap + 4 + 8 * i)
        sub = cmap + offset
        fmt = struct.unpack_from('>H', data, sub)[0]
        if fmt == 12:
            groups = struct.unpack_from('>I', data, sub + 12)[0]
            for g in range(groups):
                start, end, _ = struct.unpack_from('>III', data, sub + 16 + 12 * g)
                points.update(range(start, end + 1))
        elif fmt == 4:
            segs = struct.unpack_from('>H', data, sub + 6)[0] // 2
            ends = struct.unpack_from('>%dH' % segs, data, sub + 14)
            starts = struct.unpack_from('>%dH' % segs, data, sub + 16 + 2 * segs)
            for s, e in zip(starts, ends):
                if s != 0xFFFF:
                    points.update(range(s, e + 1))
    return points


_font = None


def pua_map(path, available):
    """{private-use code point: text of the standard emoji} from emoji.json."""
    if not path or not os.path.exists(path):
        return {}
    with open(path, encoding='utf-8') as f:
        entries = json.load(f)
    result = {}
    for e in entries:
        sb = e.get('softbank')
        if not sb:
            continue
        cp = int(sb, 16)
        if not 0xE000 <= cp <= 0xE537:
            continue
        seq = [int(x, 16) for x in e['unified'].split('-')]
        if all(c in available or c in (0xFE0F, 0x200D, 0x20E3) for c in seq):
            result[cp] = ''.join(chr(c) for c in seq)
    return result


def render(args):
    font_path, out_dir, size, cp, text = args
    global _font
    if _font is None:
        layout = ImageFont.Layout.RAQM if ImageFont.core.HAVE_RAQM else ImageFont.Layout.BASIC
        _font = ImageFont.truetype(font_path, BITMAP_SIZE, layout_engine=layout)
    ch = text or chr(cp)
    box = _font.getbbox(ch)
    w, h = max(1, box[2] - box[0]), max(1, box[3] - box[1])
    img = Image.new('RGBA', (w, h), (0, 0, 0, 0))
    ImageDraw.Draw(img).text((-box[0], -box[1]), ch, font=_font, embedded_color=True)
    side = max(w, h)
    square = Image.new('RGBA', (side, side), (0, 0, 0, 0))
    square.paste(img, ((side - w) // 2, (side - h) // 2))
    square = square.resize((size, size), Image.LANCZOS)
    name = os.path.join(out_dir, '%X.png' % cp)
    tmp = name + '.tmp'
    square.save(tmp, 'PNG', optimize=False)
    os.replace(tmp, name)
    return cp


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument('--font', required=True)
    ap.add_argument('--out', required=True)
    ap.add_argument('--size', type=int, default=20)
    ap.add_argument('--stamp')
    ap.add_argument('--jobs', type=int, default=3)
    ap.add_argument('--pua-map')
    a = ap.parse_args()

    available = font_code_points(a.font)
    wanted = [cp for cp in SYMBOLS + list(PAIR_RANGE) if cp in available]
    if not wanted:
        sys.exit('make-emoji: no emoji found in %s' % a.font)
    os.makedirs(a.out, exist_ok=True)
    tasks = [(a.font, a.out, a.size, cp, None) for cp in wanted]
    pua = pua_map(a.pua_map, available)
    tasks += [(a.font, a.out, a.size, cp, text) for cp, text in sorted(pua.items())]
    with ProcessPoolExecutor(max_workers=max(1, a.jobs)) as pool:
        done = list(pool.map(render, tasks, chunksize=64))
    missing = [cp for cp in SYMBOLS if cp not in available]
    print('make-emoji: %d pictures in %s%s' % (
        len(done), a.out,
        (' (not in the font: %s)' % ' '.join('%X' % cp for cp in missing)) if missing else ''))
    if a.stamp:
        with open(a.stamp, 'w') as f:
            f.write('%d\n' % len(done))


if __name__ == '__main__':
    main()
