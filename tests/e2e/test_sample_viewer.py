"""The sample G-code viewer behind the launcher: the launcher hands it the sample cube, and it
reads the file, prints its summary line and draws one frame into a PNG."""
import importlib.util
import math
import os
import re
import shutil
from pathlib import Path

import pytest
from PIL import Image

from conftest import STAGE, wine_path

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "samples" / "gcode" / "calibration-cube.gcode"
VIEWER = Path(os.environ.get("LAUNCHER_SAMPLE_VIEWER",
                             STAGE.parent / "samples" / "gcode-viewer" / "orviStudio.dll"))
SUMMARY = re.compile(r'summary: layers=(\d+) extrusions=(\d+) min=(\S+),(\S+),(\S+) '
                     r'max=(\S+),(\S+),(\S+) renderer="(.*)" version="(.*)"$')
# The viewer's default view: turned 30 degrees about the vertical, tilted 60 from the top,
# the projected box filling 90 % of the tighter side.
YAW, PITCH, MARGIN = -30.0, -60.0, 0.9


def load_generator():
    spec = importlib.util.spec_from_file_location(
        "make_calibration_cube", ROOT / "samples" / "gcode" / "make-calibration-cube.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def generated():
    text, info = load_generator().generate()
    # The committed sample is what its generator writes.
    assert SAMPLE.read_text() == text, "run samples/gcode/make-calibration-cube.py"
    return info


@pytest.fixture
def viewer(stage):
    launcher = stage(app=None)
    shutil.copy2(VIEWER, launcher.folder / "orviStudio.dll")
    return launcher


def summary(run):
    found = [SUMMARY.match(line) for line in run.lines]
    found = [m for m in found if m]
    assert len(found) == 1, run.lines
    return found[0]


def projected_box(info, width, height):
    """Pixel box (left, top, right, bottom) of the print's extent in the default view."""
    lo, hi = info["min"], info["max"]
    cy, sy = math.cos(math.radians(YAW)), math.sin(math.radians(YAW))
    cp, sp = math.cos(math.radians(PITCH)), math.sin(math.radians(PITCH))
    centre = [(a + b) / 2 for a, b in zip(lo, hi)]
    points = []
    for corner in range(8):
        p = [hi[i] if corner >> i & 1 else lo[i] for i in range(3)]
        x, y, z = (p[i] - centre[i] for i in range(3))
        points.append((cy * x - sy * y, cp * sy * x + cp * cy * y - sp * z))
    half_x = max(abs(p[0]) for p in points)
    half_y = max(abs(p[1]) for p in points)
    scale = min(width * MARGIN / (2 * half_x), height * MARGIN / (2 * half_y))
    xs = [width / 2 + p[0] * scale for p in points]
    ys = [height / 2 - p[1] * scale for p in points]
    return min(xs), min(ys), max(xs), max(ys)


def coloured_pixels(png):
    """Pixels of the height colours: strongly saturated, unlike the background and bed grid."""
    image = Image.open(png).convert("RGB")
    width, height = image.size
    data = image.load()
    found = []
    for y in range(0, height):
        for x in range(0, width):
            r, g, b = data[x, y]
            if max(r, g, b) - min(r, g, b) > 80:
                found.append((x, y, r, g, b))
    return image.size, found


def check_drawing(png, info, size=(1024, 768)):
    assert png.is_file()
    (width, height), pixels = coloured_pixels(png)
    assert (width, height) == size
    # Every corner carries the background: a band the back buffer did not cover reads back
    # as nothing.
    image = Image.open(png).convert("RGBA")
    corners = {image.getpixel((x, y)) for x in (0, width - 1) for y in (0, height - 1)}
    assert len(corners) == 1 and corners.pop()[3] == 255
    left, top, right, bottom = projected_box(info, width, height)
    assert len(pixels) > 0.05 * (right - left) * (bottom - top)
    outside = [(x, y) for x, y, *_ in pixels
               if not (left - 2 <= x <= right + 2 and top - 2 <= y <= bottom + 2)]
    assert outside == [], f"drawn outside {left, top, right, bottom}: {outside[:10]}"
    # Bottom layers blue, top layers red: the colour follows the height.
    assert any(b > 200 and r < 120 for *_, r, g, b in pixels)
    assert any(r > 200 and b < 80 for *_, r, g, b in pixels)


def expect_summary(match, info):
    assert int(match[1]) == info["layers"]
    assert int(match[2]) == info["extrusions"]
    assert [match[i] for i in range(3, 9)] == [f"{v:.2f}" for v in (*info["min"], *info["max"])]


def test_the_launcher_hands_the_sample_to_the_viewer(viewer, generated, tmp_path):
    png = tmp_path / "cube.png"
    run = viewer.run("--screenshot", wine_path(png), wine_path(SAMPLE), timeout=180)

    assert run.code == 0, run.lines
    match = summary(run)
    expect_summary(match, generated)
    assert match[9] != "" and match[10] != ""
    # No bad line in the sample: the viewer says nothing else.
    assert run.lines == [match[0]]
    check_drawing(png, generated)


def test_size_sets_the_picture(viewer, generated, tmp_path):
    png = tmp_path / "small.png"
    run = viewer.run("--size", "400x500", "--screenshot", wine_path(png), wine_path(SAMPLE),
                     timeout=180)
    assert run.code == 0, run.lines
    check_drawing(png, generated, size=(400, 500))


def stage_software_library(viewer):
    """The launcher's switch loads mesa\\opengl32.dll by path; a copy of Wine's own library
    there is what Wine hands back for such a load."""
    wine_library = Path(os.environ.get("LAUNCHER_WINEPREFIX", "build/windows-mingw/wineprefix"))
    wine_library = wine_library / "drive_c" / "windows" / "system32" / "opengl32.dll"
    (viewer.folder / "mesa").mkdir()
    shutil.copy2(wine_library, viewer.folder / "mesa" / "opengl32.dll")


def test_with_the_software_switch_the_viewer_draws_with_what_it_got(viewer, generated,
                                                                      tmp_path):
    stage_software_library(viewer)
    png = tmp_path / "software.png"
    run = viewer.run("--sw-renderer", "--screenshot", wine_path(png), wine_path(SAMPLE),
                     timeout=180)

    assert run.code == 0, run.lines
    assert "MESA OpenGL library was loaded sucessfully" in run.lines
    match = summary(run)
    expect_summary(match, generated)
    assert match[9] != "", "the summary names the renderer"
    check_drawing(png, generated)


def test_a_driver_older_than_2_0_is_switched_and_the_viewer_draws_all_the_same(viewer, generated,
                                                                               tmp_path):
    stage_software_library(viewer)
    png = tmp_path / "old-driver.png"
    run = viewer.run("--screenshot", wine_path(png), wine_path(SAMPLE),
                     env={"MESA_GL_VERSION_OVERRIDE": "1.4"}, timeout=180)

    assert run.code == 0, run.lines
    assert run.lines[:3] == [
        "System OpenGL library successfully released",
        f"Loading MESA OpenGL library: {wine_path(viewer.folder)}\\mesa\\opengl32.dll",
        "MESA OpenGL library was loaded sucessfully",
    ]
    match = summary(run)
    expect_summary(match, generated)
    # Wine's library is the software one here, and reports what the override says.
    assert match[10].startswith("1.4 "), match[0]
    check_drawing(png, generated)


def test_a_missing_file_is_reported_and_ends_with_2(viewer, tmp_path):
    png = tmp_path / "none.png"
    missing = tmp_path / "no such.gcode"
    run = viewer.run("--screenshot", wine_path(png), wine_path(missing), timeout=120)

    assert run.code == 2, run.lines
    assert len(run.lines) == 1
    assert run.lines[0].startswith(f'gcode viewer: cannot open "{wine_path(missing)}"')
    assert not png.exists()


@pytest.mark.parametrize("text", ["", "; nothing but a comment\nG28\nG0 X10 Y10 Z5\nG1 E5\n"],
                         ids=["empty", "no_extrusion"])
def test_a_file_without_extrusion_is_an_empty_scene(viewer, tmp_path, text):
    gcode = tmp_path / "nothing.gcode"
    gcode.write_text(text)
    png = tmp_path / "nothing.png"
    run = viewer.run("--screenshot", wine_path(png), wine_path(gcode), timeout=120)

    assert run.code == 0, run.lines
    match = summary(run)
    assert match[0].startswith("summary: layers=0 extrusions=0 min=0.00,0.00,0.00 "
                               "max=0.00,0.00,0.00 renderer=")
    size, pixels = coloured_pixels(png)
    assert size == (1024, 768) and pixels == []


def test_bad_lines_are_counted_and_the_rest_drawn(viewer, generated, tmp_path):
    gcode = tmp_path / "damaged.gcode"
    gcode.write_bytes(b"G1 X\x00\x01 E1\nG1 XNaN Y1 E2\nG1 X1e999 E3\n" + SAMPLE.read_bytes())
    png = tmp_path / "damaged.png"
    run = viewer.run("--screenshot", wine_path(png), wine_path(gcode), timeout=180)

    assert run.code == 0, run.lines
    assert "gcode viewer: skipped 3 bad lines, ignored 0 unknown words" in run.lines
    expect_summary(summary(run), generated)
    check_drawing(png, generated)
