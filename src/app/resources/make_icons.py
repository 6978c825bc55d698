#!/usr/bin/env python3
"""Draws the program's icons: a two-row VFD module, a dark panel with two
rows of cyan-green dot-matrix characters, in a grey bezel.

Writes vfdstartup.ico (group 105: 48, 32 and 16 pixels at 24 bits per pixel,
the window icon) and vfdstartup_file.ico (group 101: 16 and 32 pixels at 4
bits per pixel, the program file's icon) next to this script. The output is
byte-for-byte the same on every run; the .ico files are committed so that the
build does not need Python.

    python3 make_icons.py [output directory]
"""

import os
import struct
import sys

# Colours as (red, green, blue). The 4-bit images use this list as their
# palette, padded to 16 entries, so both depths show the same picture.
TRANSPARENT = 0
BEZEL = 1
BEZEL_LIGHT = 2
BEZEL_DARK = 3
PANEL = 4
DOT_OFF = 5
DOT_ON = 6
COLOURS = [
    (0, 0, 0),
    (62, 66, 72),
    (112, 118, 126),
    (26, 28, 31),
    (6, 16, 18),
    (16, 46, 42),
    (70, 255, 205),
]
PALETTE = COLOURS + [(0, 0, 0)] * (16 - len(COLOURS))

ROW0_TEXT = "STARTUP"
ROW1_TEXT = "MESSAGE"

# 5 x 7 dots, as a real VFD character cell shows them.
FONT_5X7 = {
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "G": ["01110", "10001", "10000", "10111", "10001", "10001", "01111"],
    "M": ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
}

# 3 x 5 dots for the 32-pixel image.
FONT_3X5 = {
    "A": ["010", "101", "111", "101", "101"],
    "E": ["111", "100", "110", "100", "111"],
    "G": ["011", "100", "101", "101", "011"],
    "M": ["101", "111", "111", "101", "101"],
    "P": ["110", "101", "110", "100", "100"],
    "R": ["110", "101", "110", "101", "101"],
    "S": ["011", "100", "010", "001", "110"],
    "T": ["111", "010", "010", "010", "010"],
    "U": ["101", "101", "101", "101", "111"],
}

# At 16 pixels a character is only a hint of one: 2 x 3 dots.
FONT_2X3 = {
    "A": ["11", "11", "10"],
    "E": ["11", "10", "11"],
    "G": ["10", "01", "11"],
    "M": ["11", "11", "01"],
    "P": ["11", "11", "10"],
    "R": ["11", "10", "01"],
    "S": ["01", "10", "11"],
    "T": ["11", "01", "01"],
    "U": ["01", "01", "11"],
}

# Per image size: the module's outline (top, height), the bezel width, the
# font, the gap between characters and between the rows, and how many
# characters of each row fit.
LAYOUTS = {
    48: dict(top=10, height=28, bezel=2, font=FONT_5X7, char_gap=1, row_gap=3, chars=7),
    32: dict(top=6, height=20, bezel=2, font=FONT_3X5, char_gap=1, row_gap=2, chars=7),
    16: dict(top=2, height=12, bezel=1, font=FONT_2X3, char_gap=1, row_gap=2, chars=4),
}


def draw_bezel(pixels, size, top, height, bezel):
    bottom = top + height - 1
    for y in range(top, bottom + 1):
        for x in range(size):
            edge = min(x, size - 1 - x, y - top, bottom - y)
            if edge >= bezel:
                pixels[y][x] = PANEL
            elif x == 0 or y == top:
                pixels[y][x] = BEZEL_LIGHT
            elif x == size - 1 or y == bottom:
                pixels[y][x] = BEZEL_DARK
            else:
                pixels[y][x] = BEZEL
    # Rounded corners: the outermost corner pixels stay see-through.
    for x, y in ((0, top), (size - 1, top), (0, bottom), (size - 1, bottom)):
        pixels[y][x] = TRANSPARENT


def draw_text_row(pixels, left, top, text, layout):
    font = layout["font"]
    glyph_width = len(font["A"][0])
    for index, char in enumerate(text[: layout["chars"]]):
        glyph = font[char]
        x0 = left + index * (glyph_width + layout["char_gap"])
        for dy, line in enumerate(glyph):
            for dx, dot in enumerate(line):
                pixels[top + dy][x0 + dx] = DOT_ON if dot == "1" else DOT_OFF


def draw_display(size):
    """Returns size rows of size palette indices, top row first."""
    layout = LAYOUTS[size]
    pixels = [[TRANSPARENT] * size for _ in range(size)]
    draw_bezel(pixels, size, layout["top"], layout["height"], layout["bezel"])

    font = layout["font"]
    glyph_width, glyph_height = len(font["A"][0]), len(font["A"])
    chars = layout["chars"]
    text_width = chars * glyph_width + (chars - 1) * layout["char_gap"]
    text_height = 2 * glyph_height + layout["row_gap"]
    left = (size - text_width) // 2
    row0_top = layout["top"] + (layout["height"] - text_height) // 2
    row1_top = row0_top + glyph_height + layout["row_gap"]
    draw_text_row(pixels, left, row0_top, ROW0_TEXT, layout)
    draw_text_row(pixels, left, row1_top, ROW1_TEXT, layout)
    return pixels


def row_stride(size, bits):
    return ((size * bits + 31) // 32) * 4


def and_mask(pixels, size):
    """1 bit per pixel, bottom row first: set where the picture is see-through."""
    data = bytearray()
    for row in reversed(pixels):
        line = bytearray(row_stride(size, 1))
        for x, index in enumerate(row):
            if index == TRANSPARENT:
                line[x // 8] |= 0x80 >> (x % 8)
        data += line
    return bytes(data)


def colour_bits(pixels, size, bits):
    data = bytearray()
    for row in reversed(pixels):
        line = bytearray(row_stride(size, bits))
        for x, index in enumerate(row):
            if bits == 24:
                red, green, blue = COLOURS[index]
                line[3 * x : 3 * x + 3] = bytes((blue, green, red))
            else:
                line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        data += line
    return bytes(data)


def icon_image(size, bits):
    """One icon image as Windows stores it: a BITMAPINFOHEADER of double
    height (colour bits and mask), the palette for 4 bits, then both bitmaps."""
    pixels = draw_display(size)
    xor_bits = colour_bits(pixels, size, bits)
    mask_bits = and_mask(pixels, size)
    colours_used = 16 if bits == 4 else 0
    header = struct.pack(
        "<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0,
        len(xor_bits) + len(mask_bits), 0, 0, colours_used, 0)
    palette = b""
    if bits == 4:
        palette = b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE)
    return header + palette + xor_bits + mask_bits


def ico_file(images):
    """images: list of (size, bits)."""
    blobs = [icon_image(size, bits) for size, bits in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, bits), blob in zip(images, blobs):
        colour_count = 16 if bits == 4 else 0
        out += struct.pack("<BBBBHHII", size, size, colour_count, 0, 1, bits, len(blob), offset)
        offset += len(blob)
    return out + b"".join(blobs)


ICON_FILES = {
    "vfdstartup.ico": [(48, 24), (32, 24), (16, 24)],
    "vfdstartup_file.ico": [(16, 4), (32, 4)],
}


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, images in ICON_FILES.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(ico_file(images))


if __name__ == "__main__":
    main()
