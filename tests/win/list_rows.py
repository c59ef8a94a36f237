# SPDX-License-Identifier: MIT
"""Reads the device list off a screenshot of the main window, as a person
looking at it would: how many rows it shows and how many of them carry the
yellow not-reachable mark. Prints "N rows, M marked".

    python3 list_rows.py main-window.png|.ppm

The list is the tallest framed box at the window's left edge; inside it
the first line of text is the header, each further one a row. A row's mark
is a yellow shape in its first 30 pixels, olive on the selected row."""
import subprocess
import sys


def read_image(path):
    """(width, height, rows of (r, g, b)) of any picture ImageMagick reads."""
    ppm = subprocess.run(["/usr/bin/convert", path, "-depth", "8", "ppm:-"],
                         check=True, stdout=subprocess.PIPE).stdout
    fields = []
    pos = 0
    while len(fields) < 4:
        while ppm[pos:pos + 1].isspace():
            pos += 1
        end = pos
        while not ppm[end:end + 1].isspace():
            end += 1
        fields.append(ppm[pos:end])
        pos = end
    pos += 1
    width, height = int(fields[1]), int(fields[2])
    pixels = ppm[pos:]
    return width, height, [[tuple(pixels[(y * width + x) * 3:(y * width + x) * 3 + 3])
                            for x in range(width)] for y in range(height)]


def grey(p):
    return (p[0] * 30 + p[1] * 59 + p[2] * 11) // 100


def is_yellow(p):
    """The mark's yellow, also as a selected row tints it."""
    return p[0] > 150 and p[1] > 140 and p[2] < 110 and (p[0] + p[1]) // 2 - p[2] > 70


def bands(flags):
    """[(first, last)] of the runs of true values."""
    runs, start = [], None
    for i, flag in enumerate(flags + [False]):
        if flag and start is None:
            start = i
        elif not flag and start is not None:
            runs.append((start, i - 1))
            start = None
    return runs


def list_box(width, height, image):
    """(top, bottom) of the longest run of frame pixels in the first columns."""
    best = (0, -1)
    for x in range(0, min(4, width)):
        framed = [100 <= grey(image[y][x]) <= 200 for y in range(height)]
        for top, bottom in bands(framed):
            if bottom - top > best[1] - best[0]:
                best = (top, bottom)
    return best


def main():
    width, height, image = read_image(sys.argv[1])
    top, bottom = list_box(width, height, image)
    if bottom - top < 40:
        print("no list")
        return
    inside = range(top + 1, bottom)
    text = [any(grey(image[y][x]) < 110 for x in range(25, min(115, width))) for y in inside]
    lines = [b for b in bands(text) if b[1] - b[0] >= 4]
    yellow = [any(is_yellow(p) for p in image[y][0:30]) for y in inside]
    marks = [b for b in bands(yellow) if b[1] - b[0] >= 4]
    print("%d rows, %d marked" % (max(len(lines) - 1, 0), len(marks)))


if __name__ == "__main__":
    main()
