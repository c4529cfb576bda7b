"""Crash reports the crash reporting service can symbolicate: every image's debug id as the
service's own tool (sentry-cli) reads it from the file, frames symbolised on the machine, and
scripts/read-report.py naming a frame from a debug file alone. The application library of
tests/windows/fixtures/symbolized_application.cpp crashes in a function that is neither exported
nor inlined, with its DWARF inside (app-symbols) or split off into a .debug file
(app-split-symbols)."""
import shutil
import subprocess
import sys
from pathlib import Path

from conftest import FIXTURES
from debug_files import check, host_path
from envelope import only_envelope, stackwalk

ACCESS_VIOLATION = 0xC0000005
SOURCE = Path(__file__).resolve().parents[2]
READ_REPORT = SOURCE / "scripts" / "read-report.py"
FUNCTION = "WriteThroughNullPointer"
FIXTURE_SOURCE = SOURCE / "tests" / "windows" / "fixtures" / "symbolized_application.cpp"
# The line of the null write.
FAULT_LINE = FIXTURE_SOURCE.read_text().splitlines().index("    *target = 1;") + 1


def crash(stage, app):
    launcher = stage(app=app)
    run = launcher.run("a.gcode", timeout=180)
    assert run.code == ACCESS_VIOLATION & 0xFF, run.lines
    return launcher, only_envelope(launcher.folder / "dump")


def frames_of(event):
    """The crashed thread's frames, innermost first."""
    return event["exception"]["values"][0]["stacktrace"]["frames"][::-1]


def test_every_image_carries_the_debug_id_and_code_id_sentry_cli_reads(stage):
    launcher, envelope = crash(stage, "app-symbols")
    images = envelope.event["debug_meta"]["images"]
    by_name = {Path(host_path(i["code_file"]) or "?").name: i for i in images}
    for name in ("tavro-gcodeviewer.exe", "sentry.dll", "orviStudio.dll"):
        image = by_name[name]
        read = check(launcher.folder / name)
        assert read.debug_id, f"{name} was built without a CodeView record"
        assert (image.get("debug_id"), image["code_id"].lower()) == (read.debug_id,
                                                                     read.code_id), name
        assert image["debug_file"] == Path(name).stem + ".pdb", name
    # Wine's own images have no record: no id is made up for them.
    without = []
    for image in images:
        path = host_path(image["code_file"])
        assert path is not None, image
        read = check(path)
        assert image.get("debug_id") == read.debug_id, image
        if read.debug_id is None:
            without.append(path.name.lower())
            assert "debug_file" not in image, image
    assert {"ntdll.dll", "kernel32.dll"} <= set(without), without


def test_the_crashed_frame_names_its_function_and_library(stage):
    _, envelope = crash(stage, "app-symbols")
    event = envelope.event
    crashed = frames_of(event)[0]
    library = next(i for i in event["debug_meta"]["images"]
                   if i["code_file"].endswith("\\orviStudio.dll"))
    assert FUNCTION in crashed.get("function", ""), crashed
    assert crashed["package"] == library["code_file"]
    assert crashed["image_addr"] == library["image_addr"]
    assert int(crashed["symbol_addr"], 16) <= int(crashed["instruction_addr"], 16)
    # Its caller, exported and named too; the minidump is there as well.
    assert frames_of(event)[1].get("function") == "layrix_main"
    assert [h["attachment_type"] for h, _ in envelope.items if h["type"] == "attachment"] == [
        "event.minidump"]


def read_report(*args):
    return subprocess.run([sys.executable, str(READ_REPORT), *map(str, args)],
                          capture_output=True, text=True, timeout=120)


def test_read_report_names_a_frame_from_the_debug_file_alone(stage, tmp_path):
    launcher, envelope = crash(stage, "app-split-symbols")
    library = next(i for i in envelope.event["debug_meta"]["images"]
                   if i["code_file"].endswith("\\orviStudio.dll"))
    # The staged library carries no DWARF; its debug file goes by any name.
    symbols = tmp_path / "symbols" / "deep"
    symbols.mkdir(parents=True)
    shutil.copy2(FIXTURES / "app-split-symbols" / "orviStudio.dll.debug", symbols / "lib.bin")
    assert check(symbols / "lib.bin").debug_id == library["debug_id"]
    assert check(symbols / "lib.bin").usable

    report = next((launcher.folder / "dump").glob("*.envelope"))
    dump = tmp_path / "out.dmp"
    done = read_report(report, "--symbols", tmp_path / "symbols", "--minidump", dump)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    crashed = lines[lines.index("Crashed thread, innermost frame first:") + 1]
    assert crashed.startswith(f"    0  orviStudio.dll!{FUNCTION}+0x0 ("), crashed
    assert crashed.endswith(f"symbolized_application.cpp:{FAULT_LINE})"), crashed
    assert "EXCEPTION_ACCESS_VIOLATION_WRITE" in lines[2]
    # Without the debug file the frame is the library and an offset.
    bare = read_report(report).stdout.splitlines()
    crashed = bare[bare.index("Crashed thread, innermost frame first:") + 1]
    assert crashed.startswith("    0  orviStudio.dll+0x"), crashed

    # The minidump written out is breakpad's to read, and no envelope.
    assert "EXCEPTION_ACCESS_VIOLATION_WRITE" in stackwalk(dump.read_bytes(), tmp_path)
    done = read_report(dump)
    assert done.returncode == 2
    assert done.stdout == "" and len(done.stderr.splitlines()) == 1, done.stderr
