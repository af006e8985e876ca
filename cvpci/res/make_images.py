#!/usr/bin/env python3
"""Draws CvPci's icons and bitmap strips (run once; the files are kept beside the resource script).

Images are small pixel drawings: a serial connector for the applet and for the suite's ports, a plain
port for other drivers' ports, and one pictogram per resource type for the Resources page. Yellow
(255, 255, 0) is the mask colour of the strips, as the resource script's image lists expect."""
import struct, os

HERE = os.path.dirname(os.path.abspath(__file__))
MASK = (255, 255, 0)

def canvas(w, h, fill=MASK):
    return [[fill for _ in range(w)] for _ in range(h)]

def rect(img, x0, y0, x1, y1, c):
    for y in range(max(0, y0), min(len(img), y1)):
        for x in range(max(0, x0), min(len(img[0]), x1)):
            img[y][x] = c

def connector(img, ox, oy, size, body, pins):
    s = size / 16.0
    rect(img, ox + int(2 * s), oy + int(4 * s), ox + int(14 * s), oy + int(12 * s), (0, 0, 0))
    rect(img, ox + int(3 * s), oy + int(5 * s), ox + int(13 * s), oy + int(11 * s), body)
    for i in range(5):
        px = ox + int((4 + 2 * i) * s)
        rect(img, px, oy + int(6 * s), px + max(1, int(s)), oy + int(7 * s) + 1, pins)
    for i in range(4):
        px = ox + int((5 + 2 * i) * s)
        rect(img, px, oy + int(9 * s), px + max(1, int(s)), oy + int(10 * s) + 1, pins)

def pictogram(img, ox, oy, kind):
    colours = [(128, 128, 128), (0, 0, 160), (160, 0, 0), (0, 128, 0), (128, 0, 128), (0, 128, 128)]
    c = colours[kind % len(colours)]
    rect(img, ox + 2, oy + 2, ox + 14, oy + 14, (0, 0, 0))
    rect(img, ox + 3, oy + 3, ox + 13, oy + 13, c)
    rect(img, ox + 5, oy + 5 + kind, ox + 11, oy + 7 + kind, (255, 255, 255))

def write_bmp(path, img):
    h, w = len(img), len(img[0])
    row = (w * 3 + 3) & ~3
    data = bytearray()
    for y in range(h - 1, -1, -1):
        line = bytearray()
        for (r, g, b) in img[y]:
            line += bytes((b, g, r))
        line += b'\0' * (row - w * 3)
        data += line
    header = struct.pack('<2sIHHI', b'BM', 14 + 40 + len(data), 0, 0, 54)
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, 'wb') as f:
        f.write(header + info + data)

def write_ico(path, img):
    h, w = len(img), len(img[0])
    pixels = bytearray()
    for y in range(h - 1, -1, -1):
        for (r, g, b) in img[y]:
            alpha = 0 if (r, g, b) == MASK else 255
            pixels += bytes((b, g, r, alpha))
    mask = b'\0' * (((w + 31) // 32) * 4 * h)
    info = struct.pack('<IiiHHIIiiII', 40, w, h * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    body = info + pixels + mask
    header = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', w, h, 0, 0, 1, 32, len(body), 22)
    with open(path, 'wb') as f:
        f.write(header + body)

def strip(size, count, draw):
    img = canvas(size * count, size)
    for i in range(count):
        draw(img, i * size, 0, i)
    return img

applet = canvas(32, 32)
connector(applet, 0, 0, 32, (0, 96, 192), (255, 255, 255))
write_ico(os.path.join(HERE, 'corvane.ico'), applet)
port = canvas(32, 32)
connector(port, 0, 0, 32, (0, 160, 0), (255, 255, 255))
write_ico(os.path.join(HERE, 'cvport.ico'), port)
other = canvas(32, 32)
connector(other, 0, 0, 32, (160, 160, 160), (0, 0, 0))
write_ico(os.path.join(HERE, 'otherport.ico'), other)

def ports(img, ox, oy, i, size):
    connector(img, ox, oy, size, (160, 160, 160) if i == 0 else (0, 96 + 10 * i, 192), (255, 255, 255))

write_bmp(os.path.join(HERE, 'ports16.bmp'), strip(16, 11, lambda img, x, y, i: ports(img, x, y, i, 16)))
write_bmp(os.path.join(HERE, 'ports32.bmp'), strip(32, 11, lambda img, x, y, i: ports(img, x, y, i, 32)))
write_bmp(os.path.join(HERE, 'resources.bmp'), strip(16, 6, lambda img, x, y, i: pictogram(img, x, y, i)))
