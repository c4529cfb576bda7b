#!/usr/bin/env python3
"""Writes calibration-cube.gcode: a 20 mm calibration cube as a slicer would lay it down, with
a skirt, two walls per layer, solid bottom and top layers and sparse diagonal infill, with
retractions and travels between them.

`generate()` also gives what a reader of the file should find (layers, extrusion moves and the
extent of their end points), for the end-to-end tests."""
import math
import sys
from pathlib import Path

SIZE = 20.0
CENTRE = (110.0, 110.0)
LAYER_HEIGHT = 0.25
LAYERS = 80
LINE_WIDTH = 0.45
SKIRT_OFFSET = 3.0
SOLID_LAYERS = 3
SPARSE_SPACING = 2.5
FILAMENT_PER_MM = 0.0468  # mm of 1.75 mm filament per mm of a 0.45 x 0.25 line
RETRACT = 0.8


class Writer:
    def __init__(self):
        self.lines = []
        self.x = self.y = self.z = 0.0
        self.e = 0.0
        self.extrusions = 0
        self.heights = set()
        self.low = [math.inf] * 3
        self.high = [-math.inf] * 3

    def put(self, text):
        self.lines.append(text)

    def travel(self, x, y):
        x, y = round(x, 3), round(y, 3)
        self.put(f"G1 E{self.e - RETRACT:.5f} F2400")
        self.put(f"G0 X{x:.3f} Y{y:.3f} F9000")
        self.put(f"G1 E{self.e:.5f} F2400")
        self.x, self.y = x, y

    def extrude(self, x, y, feed=None):
        x, y = round(x, 3), round(y, 3)
        self.e = round(self.e + math.hypot(x - self.x, y - self.y) * FILAMENT_PER_MM, 5)
        self.put(f"G1 X{x:.3f} Y{y:.3f} E{self.e:.5f}" + (f" F{feed}" if feed else ""))
        self.x, self.y = x, y
        self.extrusions += 1
        self.heights.add(self.z)
        for i, v in enumerate((x, y, self.z)):
            self.low[i] = min(self.low[i], v)
            self.high[i] = max(self.high[i], v)

    def loop(self, half, feed):
        cx, cy = CENTRE
        corners = [(cx - half, cy - half), (cx + half, cy - half), (cx + half, cy + half),
                   (cx - half, cy + half)]
        self.travel(*corners[0])
        for x, y in corners[1:] + corners[:1]:
            self.extrude(x, y, feed)
            feed = None


def infill(w, layer, spacing):
    """Diagonal lines across the square inside the walls, one direction per layer, joined
    end to end as a zigzag."""
    cx, cy = CENTRE
    half = SIZE / 2 - 2.5 * LINE_WIDTH
    sign = 1 if layer % 2 else -1
    lines = []
    c = -2 * half + spacing / 2
    while c < 2 * half:
        # Points of x' + sign*y' = c inside |x'|,|y'| <= half.
        ends = []
        for x in (-half, half):
            y = (c - x) * sign
            if -half <= y <= half:
                ends.append((x, y))
        for y in (-half, half):
            x = c - sign * y
            if -half <= x <= half:
                ends.append((x, y))
        ends = sorted(set((round(x, 3), round(y, 3)) for x, y in ends))
        if len(ends) >= 2 and ends[0] != ends[-1]:
            lines.append((ends[0], ends[-1]))
        c += spacing
    w.put(";TYPE:FILL")
    for i, (a, b) in enumerate(lines):
        if i % 2:
            a, b = b, a
        w.travel(cx + a[0], cy + a[1])
        w.extrude(cx + b[0], cy + b[1], 3600 if i == 0 else None)


def generate():
    w = Writer()
    for line in ("; calibration cube 20 mm, written by samples/gcode/make-calibration-cube.py",
                 "M140 S60", "M104 S210", "G28 ; home", "M190 S60", "M109 S210",
                 "G21", "G90", "M82", "G92 E0", "M106 S0"):
        w.put(line)
    for layer in range(1, LAYERS + 1):
        w.z = round(layer * LAYER_HEIGHT, 3)
        w.put(f";LAYER:{layer}")
        w.put("G92 E0")
        w.e = 0.0
        w.put(f"G1 Z{w.z:.3f} F600")
        if layer == 2:
            w.put("M106 S255")
        if layer == 1:
            w.put(";TYPE:SKIRT")
            w.loop(SIZE / 2 + SKIRT_OFFSET, 1200)
        w.put(";TYPE:WALL-OUTER")
        w.loop(SIZE / 2 - LINE_WIDTH / 2, 1800)
        w.put(";TYPE:WALL-INNER")
        w.loop(SIZE / 2 - 1.5 * LINE_WIDTH, 2400)
        solid = layer <= SOLID_LAYERS or layer > LAYERS - SOLID_LAYERS
        infill(w, layer, LINE_WIDTH if solid else SPARSE_SPACING)
    w.put(f"G1 E{w.e - RETRACT:.5f} F2400")
    w.put(f"G0 Z{w.z + 10:.3f}")
    for line in ("M104 S0", "M140 S0", "M107", "M84"):
        w.put(line)
    text = "\n".join(w.lines) + "\n"
    info = {"layers": len(w.heights), "extrusions": w.extrusions, "min": tuple(w.low),
            "max": tuple(w.high)}
    return text, info


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name(
        "calibration-cube.gcode")
    text, info = generate()
    out.write_text(text)
    print(f"{out}: {len(text)} bytes, {info}")


if __name__ == "__main__":
    main()
