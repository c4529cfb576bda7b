"""Every way the application can die leaves exactly one crash report, through the launcher with
the lite crash reporter: the application library of tests/windows/fixtures/crashing_application.cpp
dies the way TAVRO_TEST_CRASH names."""
import re
from pathlib import Path, PureWindowsPath

import pytest

from conftest import WINEPREFIX, local_app_data, wine_path
from envelope import SESSION_END, image_of, only_envelope, parse, stackwalk
from receiver import HANG, Receiver

ACCESS_VIOLATION = 0xC0000005
STACK_OVERFLOW = 0xC00000FD
CUSTOM_CODE = 0xE0A1B2C3
HEAP_CORRUPTION = 0xC0000374
ABORT = 0x40000015  # an abort's report; the process ends with exit code 3

KEPT_LINE = re.compile(r"^crash reports are kept in (.+)$")


def crashed_pid(run):
    pids = [line.split("=", 1)[1] for line in run.lines if line.startswith("pid=")]
    assert len(pids) == 1, run.lines
    return pids[0]


def check_one_report(folder, run, code, minidump=True, session=True):
    """The one file in the folder is a whole report of the crashed process: the event, the
    session the crash ended and the minidump (no session or no minidump when told so). Gives the
    envelope."""
    envelope = only_envelope(folder)
    event = envelope.event
    assert envelope.header["event_id"] == event["event_id"]
    assert (event["level"], event["platform"]) == ("fatal", "native")
    assert event["release"] == "TavroStudio 1.5.27"
    assert event["environment"] == "production"
    assert event["tags"]["PID"] == crashed_pid(run)
    assert event["sdk"]["name"] and event["sdk"]["version"]
    exception = event["exception"]["values"][0]
    mechanism = exception["mechanism"]
    assert mechanism["handled"] is False and mechanism["type"]
    if code == ABORT:
        assert exception["type"] == "SIGABRT"
        assert mechanism["meta"]["signal"] == {"name": "SIGABRT", "number": 22}
    else:
        assert mechanism["meta"]["signal"]["number"] == code
    assert exception["stacktrace"]["frames"], exception
    images = event["debug_meta"]["images"]
    assert all(set(i) >= {"type", "code_file", "image_addr", "image_size", "code_id"}
               for i in images)
    assert any(i["code_file"].endswith("\\orviStudio.dll") for i in images), images
    if session:
        ended = envelope.session
        assert ended["status"] == "crashed" and ended["errors"] == 1
        assert ended["attrs"] == {"release": "TavroStudio 1.5.27", "environment": "production"}
        assert ended["duration"] >= 0 and ended["sid"] and ended["did"]
        assert event["user"]["id"] == ended["did"]
    else:
        assert envelope.session is None, envelope.session
    attachment = [h for h, _ in envelope.items if h["type"] == "attachment"]
    if minidump:
        assert [h["attachment_type"] for h in attachment] == ["event.minidump"]
        assert envelope.one("attachment")[:4] == b"MDMP"
    else:
        assert attachment == [], attachment
    return envelope


# (the way, its exit code, its exception code, the crash's name, whether the crashed frame is
# the application's own code)
@pytest.mark.parametrize("way, exit_code, code, name, in_application", [
    ("null-write", ACCESS_VIOLATION & 0xFF, ACCESS_VIOLATION,
     "EXCEPTION_ACCESS_VIOLATION_WRITE", True),
    ("stack-overflow", STACK_OVERFLOW & 0xFF, STACK_OVERFLOW, "EXCEPTION_STACK_OVERFLOW", True),
    ("raise", CUSTOM_CODE & 0xFF, CUSTOM_CODE, "0xE0A1B2C3", False),
    ("thread", ACCESS_VIOLATION & 0xFF, ACCESS_VIOLATION, "EXCEPTION_ACCESS_VIOLATION_WRITE", True),
    ("heap", ACCESS_VIOLATION & 0xFF, ACCESS_VIOLATION, "EXCEPTION_ACCESS_VIOLATION_WRITE", True),
    ("abort", 3, ABORT, "SIGABRT", False),
    ("terminate", 3, ABORT, "SIGABRT", False),
    ("pure-virtual", 3, ABORT, "SIGABRT", False),
    ("two-threads", ACCESS_VIOLATION & 0xFF, ACCESS_VIOLATION, "EXCEPTION_ACCESS_VIOLATION_WRITE",
     True),
    # Taken by the vectored handler first; with a filter of the application's own in the way
    # (which would end the process with 42), by the vectored handler alone.
    ("heap-corruption", HEAP_CORRUPTION & 0xFF, HEAP_CORRUPTION, "STATUS_HEAP_CORRUPTION", False),
    ("heap-corruption-own-filter", HEAP_CORRUPTION & 0xFF, HEAP_CORRUPTION,
     "STATUS_HEAP_CORRUPTION", False),
])
def test_each_way_of_dying_leaves_one_report(stage, tmp_path, way, exit_code, code, name,
                                             in_application):
    launcher = stage(app="app-crashing")
    run = launcher.run("a.gcode", env={"TAVRO_TEST_CRASH": way}, timeout=180)
    assert run.code == exit_code, run.lines
    # The minidump writer takes memory from the heap and meets the damage: the report is the
    # version written before it, with the crash, its stack and the images.
    envelope = check_one_report(launcher.folder / "dump", run, code, minidump=way != "heap")
    event = envelope.event
    exception = event["exception"]["values"][0]
    assert exception["type"] == name
    if in_application:
        # Listed from the outermost caller: the last frame is where it crashed.
        crashed = int(exception["stacktrace"]["frames"][-1]["instruction_addr"], 16)
        assert image_of(event, crashed).endswith("\\orviStudio.dll"), exception
    if way == "null-write":
        walked = stackwalk(envelope.one("attachment"), tmp_path)
        assert "Crash reason:  EXCEPTION_ACCESS_VIOLATION_WRITE" in walked, walked
        crashed_thread = walked[walked.index("(crashed)"):]
        frame_zero = crashed_thread.splitlines()[1]
        assert frame_zero.split()[:2] == ["0", "orviStudio.dll"], crashed_thread[:2000]


def test_a_crash_while_the_reporter_shuts_down_is_reported_and_ends_the_process(stage):
    """An application thread left running faults 0.4 s after layrix_main returned, while the
    reporter's shutdown waits for a server that never answers (the run's session end is in
    flight): that crash gets its one report, without a session (the launcher ended the run's
    before the shutdown), and the process ends with the crash's code."""
    with Receiver(answers=[HANG]) as receiver:
        launcher = stage(app="app-crashing")
        launcher.add("plugin", "TavroPlugin.dll")
        run = launcher.run("a.gcode", timeout=180,
                           env={"TAVRO_TEST_CRASH": "after-return",
                                "TAVRO_TEST_PLUGIN_DSN": receiver.dsn()})
        requests = list(receiver.requests)
    folder = launcher.folder / "dump"
    # What the shutdown was waiting for: the run's clean end, sent and never answered.
    assert [[item["type"] for item, _ in parse(r.body).items] for r in requests] == [["session"]]
    # It stays marked as in flight, for the next start to remove without sending it again.
    [in_flight] = [p for p in folder.iterdir() if p.name.endswith(SESSION_END + ".inflight")]
    assert parse(in_flight.read_bytes()).session["status"] == "exited"
    in_flight.unlink()
    assert run.code == ACCESS_VIOLATION & 0xFF, run.lines
    envelope = check_one_report(folder, run, ACCESS_VIOLATION, session=False)
    exception = envelope.event["exception"]["values"][0]
    assert exception["type"] == "EXCEPTION_ACCESS_VIOLATION_WRITE"
    crashed = int(exception["stacktrace"]["frames"][-1]["instruction_addr"], 16)
    assert image_of(envelope.event, crashed).endswith("\\orviStudio.dll"), exception


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
