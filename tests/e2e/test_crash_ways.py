"""Every way the application can die leaves exactly one crash report, through the launcher with
the lite crash reporter: the application library of tests/windows/fixtures/crashing_application.cpp
dies the way TAVRO_TEST_CRASH names."""
import json
import re
from pathlib import Path, PureWindowsPath

import pytest

from conftest import WINEPREFIX, local_app_data, wine_path

ACCESS_VIOLATION = 0xC0000005
STACK_OVERFLOW = 0xC00000FD
CUSTOM_CODE = 0xE0A1B2C3
ABORT = 0x40000015  # an abort's report; the process ends with exit code 3

KEPT_LINE = re.compile(r"^crash reports are kept in (.+)$")


def report_files(folder):
    return sorted(folder.iterdir()) if folder.is_dir() else []


def crashed_pid(run):
    pids = [line.split("=", 1)[1] for line in run.lines if line.startswith("pid=")]
    assert len(pids) == 1, run.lines
    return pids[0]


def check_one_report(folder, run, code):
    """The one file in the folder is a whole report of the crashed process."""
    found = report_files(folder)
    assert [f.suffix for f in found] == [".json"], found
    report = json.loads(found[0].read_bytes().decode("utf-8"))
    assert report["release"] == "TavroStudio 1.5.27"
    assert report["environment"] == "production"
    assert report["tags"]["PID"] == crashed_pid(run)
    assert int(report["exception"]["code"], 16) == code
    assert report["session"]["status"] == "crashed"
    return report


@pytest.mark.parametrize("way, exit_code, code", [
    ("null-write", ACCESS_VIOLATION & 0xFF, ACCESS_VIOLATION),
    ("stack-overflow", STACK_OVERFLOW & 0xFF, STACK_OVERFLOW),
    ("raise", CUSTOM_CODE & 0xFF, CUSTOM_CODE),
    ("thread", ACCESS_VIOLATION & 0xFF, ACCESS_VIOLATION),
    ("heap", ACCESS_VIOLATION & 0xFF, ACCESS_VIOLATION),
    ("abort", 3, ABORT),
    ("terminate", 3, ABORT),
    ("pure-virtual", 3, ABORT),
    ("two-threads", ACCESS_VIOLATION & 0xFF, ACCESS_VIOLATION),
])
def test_each_way_of_dying_leaves_one_report(stage, way, exit_code, code):
    launcher = stage(app="app-crashing")
    run = launcher.run("a.gcode", env={"TAVRO_TEST_CRASH": way}, timeout=180)
    assert run.code == exit_code, run.lines
    check_one_report(launcher.folder / "dump", run, code)


def unix_path(windows_path):
    """A C: path of the Wine prefix as the Unix side sees it."""
    path = PureWindowsPath(windows_path)
    assert path.drive.upper() == "C:", windows_path
    return Path(WINEPREFIX) / "drive_c" / Path(*path.parts[1:])


@pytest.fixture
def product_folder():
    """The product's folder under local application data, gone before and after the test."""
    folder = local_app_data() / "TavroStudio"

    def clear():
        if folder.is_dir():
            for child in folder.glob("**/*"):
                if child.is_file():
                    child.unlink()
            for child in sorted(folder.glob("**/*"), reverse=True):
                child.rmdir()
            folder.rmdir()
        elif folder.exists():
            folder.unlink()
    clear()
    yield folder
    clear()


def test_a_dump_that_is_a_file_sends_the_report_to_the_per_user_folder(stage, product_folder):
    launcher = stage(app="app-crashing")
    (launcher.folder / "dump").write_bytes(b"not a folder")
    run = launcher.run("a.gcode", env={"TAVRO_TEST_CRASH": "null-write"})
    assert run.code == ACCESS_VIOLATION & 0xFF

    kept = [m.group(1) for m in map(KEPT_LINE.match, run.lines) if m]
    assert len(kept) == 1, run.lines
    assert PureWindowsPath(kept[0]).parts[-2:] == ("TavroStudio", "dump")
    assert unix_path(kept[0]) == product_folder / "dump"
    check_one_report(product_folder / "dump", run, ACCESS_VIOLATION)
    assert (launcher.folder / "dump").read_bytes() == b"not a folder"


def test_with_no_folder_to_write_one_line_says_reports_cannot_be_kept(stage, product_folder):
    launcher = stage(app="app-crashing")
    launcher.add("mesa", "opengl32.dll", "mesa")
    (launcher.folder / "dump").write_bytes(b"")
    product_folder.write_bytes(b"")  # the per-user folder cannot be made either
    # No reporter runs, so the crash reaches Wine's own handling, which with a display may
    # wait on a window: this run has none, and the software renderer.
    run = launcher.run("--sw-renderer", "a.gcode", env={"TAVRO_TEST_CRASH": "null-write"},
                       display=False)
    assert run.code == ACCESS_VIOLATION & 0xFF
    lines = [line for line in run.lines if line.startswith("crash reports")]
    assert lines == [f"crash reports cannot be kept: {wine_path(launcher.folder)}\\dump cannot be "
                     "written"], run.lines


def test_a_writable_launcher_folder_writes_no_line_and_keeps_reports_beside_it(
        stage, product_folder):
    launcher = stage(app="app-crashing")
    run = launcher.run("a.gcode", env={"TAVRO_TEST_CRASH": "null-write"})
    assert not [line for line in run.lines if line.startswith("crash reports")], run.lines
    check_one_report(launcher.folder / "dump", run, ACCESS_VIOLATION)
    assert not product_folder.exists()
