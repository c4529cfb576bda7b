"""The lite crash reporter's crash path, driven by a small program that starts it the way the
launcher does and then crashes (tests/windows/fixtures/lite_crasher.cpp)."""
import os
import shutil
import subprocess
import time

import pytest

from conftest import FIXTURES, STAGE, WINE_RUN, wine_path
from envelope import image_of, only_envelope, report_files, session_ends

ACCESS_VIOLATION = 0xC0000005


@pytest.fixture
def crasher(tmp_path):
    folder = tmp_path / "crasher"
    folder.mkdir()
    shutil.copy2(FIXTURES / "lite-crasher" / "lite_crasher.exe", folder)
    shutil.copy2(STAGE / "sentry.dll", folder)

    def run(mode, database="-"):
        done = subprocess.run([WINE_RUN, str(folder / "lite_crasher.exe"), mode, database],
                              cwd=folder, capture_output=True, timeout=120)
        return done.returncode, done.stdout.decode("utf-8").replace("\r\n", "\n").splitlines()
    run.folder = folder
    return run


def only_report(folder):
    """The one envelope's event, with its session beside it as the report's "session"."""
    envelope = only_envelope(folder)
    event = envelope.event
    assert envelope.header["event_id"] == event["event_id"]
    event["session"] = envelope.session
    return event


def exception_type(report):
    return report["exception"]["values"][0]["type"]


def test_the_callback_gets_the_context_and_the_report_keeps_what_was_set(crasher, tmp_path):
    database = tmp_path / "reports"
    code, lines = crasher("keep", wine_path(database))
    assert code == ACCESS_VIOLATION & 0xFF
    assert lines == ["init 0", "callback code=0xC0000005 closure=ours event=set"]
    report = only_report(database)
    assert report["release"] == "Crasher 2.0.1"
    assert report["environment"] == 'test "lab"'
    assert report["tags"]["note"] == "Müller", "the last value of a tag counts"
    assert report["tags"]["computer_name"] == ""
    assert exception_type(report) == "EXCEPTION_ACCESS_VIOLATION_WRITE"
    assert report["session"]["status"] == "crashed"
    assert report["session"]["attrs"] == {"release": "Crasher 2.0.1", "environment": 'test "lab"'}
    assert "dsn" not in report


def test_a_null_value_from_the_callback_discards_the_report(crasher, tmp_path):
    database = tmp_path / "reports"
    code, lines = crasher("discard", wine_path(database))
    assert code == ACCESS_VIOLATION & 0xFF
    assert "callback code=0xC0000005 closure=ours event=set" in lines
    assert database.is_dir()
    assert report_files(database) == []


def exited(database):
    """The one session end waiting in the folder, checked."""
    [end] = session_ends(database)
    assert "event_id" not in end.header
    assert end.session["status"] == "exited" and end.session["errors"] == 0
    return end.session


# A session ended before the crash is no longer the crash's: its clean end waits beside it.
@pytest.mark.parametrize("mode, status", [("no-callback", "crashed"), ("session-ended", None)])
def test_report_without_callback_and_after_the_session_ended(crasher, tmp_path, mode, status):
    database = tmp_path / "reports"
    code, _ = crasher(mode, wine_path(database))
    assert code == ACCESS_VIOLATION & 0xFF
    report = only_report(database)
    session = report["session"]
    assert (session and session["status"]) == status
    if status is None:
        assert exited(database)["did"] == report["user"]["id"]
    else:
        assert session_ends(database) == []


def test_without_a_database_path_the_reports_go_to_the_current_directory(crasher):
    code, _ = crasher("keep")
    assert code == ACCESS_VIOLATION & 0xFF
    assert only_report(crasher.folder / ".sentry-lite")["release"] == "Crasher 2.0.1"


# A shutdown ends a session left open, as the session's own end does.
@pytest.mark.parametrize("mode", ["shut-down", "shut-down-open"])
def test_after_shutdown_a_crash_leaves_no_report(crasher, tmp_path, mode):
    database = tmp_path / "reports"
    code, lines = crasher(mode, wine_path(database))
    assert lines == ["init 0", "shutdown 0"]
    assert code != 0
    assert report_files(database) == []
    exited(database)  # the DSN's port is closed: it waits for the next start


# What the callback changes is in the report; when the callback itself dies or never comes back,
# the report written before it is kept, without its change, and the process ends as the first
# crash would have.
AV_WRITE = "EXCEPTION_ACCESS_VIOLATION_WRITE"


@pytest.mark.parametrize("mode, callback_tag, exit_code, exception_code, kind", [
    ("callback-tag", True, ACCESS_VIOLATION & 0xFF, "0xC0000005", AV_WRITE),
    ("callback-crash", False, ACCESS_VIOLATION & 0xFF, "0xC0000005", AV_WRITE),
    ("callback-abort", False, ACCESS_VIOLATION & 0xFF, "0xC0000005", AV_WRITE),
    ("abort-in-abort", False, 3, "0x40000015", "SIGABRT"),
    ("callback-hang", False, ACCESS_VIOLATION & 0xFF, "0xC0000005", AV_WRITE),
])
def test_a_callback_that_dies_or_hangs_still_leaves_the_report(
        crasher, tmp_path, mode, callback_tag, exit_code, exception_code, kind):
    database = tmp_path / "reports"
    code, lines = crasher(mode, wine_path(database))
    assert code == exit_code
    assert lines == ["init 0", f"callback code={exception_code} closure=ours event=set"]
    report = only_report(database)
    assert exception_type(report) == kind
    assert ("callback" in report["tags"]) == callback_tag, report["tags"]


@pytest.mark.parametrize("mode, exit_code, exception_code, kind", [
    ("abort", 3, "0x40000015", "SIGABRT"),
    ("two-threads", ACCESS_VIOLATION & 0xFF, "0xC0000005", AV_WRITE),
])
def test_abort_and_two_crashes_at_once_call_back_once_and_leave_one_report(
        crasher, tmp_path, mode, exit_code, exception_code, kind):
    database = tmp_path / "reports"
    code, lines = crasher(mode, wine_path(database))
    assert code == exit_code
    assert lines == ["init 0", f"callback code={exception_code} closure=ours event=set"]
    assert exception_type(only_report(database)) == kind


# Symbolising on the machine only when asked for: then each frame in a known image names it,
# and the report keeps its minidump and what the callback set.
@pytest.mark.parametrize("mode, symbolised", [("keep", False), ("symbolize", True)])
def test_frames_name_their_images_only_when_symbolising_is_asked_for(crasher, tmp_path, mode,
                                                                     symbolised):
    database = tmp_path / "reports"
    code, lines = crasher(mode, wine_path(database))
    assert code == ACCESS_VIOLATION & 0xFF
    assert lines == ["init 0", "callback code=0xC0000005 closure=ours event=set"]
    envelope = only_envelope(database)
    event = envelope.event
    frames = event["exception"]["values"][0]["stacktrace"]["frames"]
    if not symbolised:
        assert all(set(frame) == {"instruction_addr"} for frame in frames), frames
    else:
        crashed = frames[-1]
        assert crashed["package"].endswith("\\lite_crasher.exe"), crashed
        assert image_of(event, int(crashed["instruction_addr"], 16)) == crashed["package"]
        named = [f["function"] for f in frames if "function" in f]
        assert "BaseThreadInitThunk" in named, frames
    assert [h["type"] for h, _ in envelope.items] == ["event", "session", "attachment"]


def test_release_and_tags_of_any_bytes_give_a_report_that_parses(crasher, tmp_path):
    database = tmp_path / "reports"
    crasher("hostile-tags", wine_path(database))
    report = only_report(database)
    assert report["release"] == 'Crasher "2"\\\n\x01\ufffd'
    assert report["tags"]['quote"back\\slash'] == '"},\x7f\x1f\u00e9\ufffd'


def test_temporary_reports_of_ended_processes_are_put_in_place_or_removed(crasher, tmp_path):
    """What an earlier run left under a temporary name: a whole report goes into place, a cut one
    goes, and one written a moment ago (its process may still be at it) stays."""
    database = tmp_path / "reports"
    code, _ = crasher("keep", wine_path(database))  # a real report to leave half done
    whole = only_envelope(database)
    [report] = report_files(database)
    data = report.read_bytes()
    report.unlink()
    old = time.time() - 3600
    # Named as the reporter names them, an hour ago: within the age the queue keeps reports for.
    older = time.strftime("%Y%m%dT%H%M%S000Z", time.gmtime(old))
    newer = time.strftime("%Y%m%dT%H%M%S000Z", time.gmtime())
    (database / f"{older}-7.1.tmp").write_bytes(data)
    (database / f"{older}-8.0.tmp").write_bytes(data[:len(data) // 2])
    (database / f"{older}-9.dmp.tmp").write_bytes(b"MDMP")
    for name in (f"{older}-7.1.tmp", f"{older}-8.0.tmp",
                 f"{older}-9.dmp.tmp"):
        os.utime(database / name, (old, old))
    (database / f"{newer}-10.0.tmp").write_bytes(data[:100])

    code, lines = crasher("shut-down", wine_path(database))
    assert lines == ["init 0", "shutdown 0"]
    # The whole one in place; the run's closed DSN may have marked one failed start in its name.
    restored, left = [p.name for p in report_files(database)]
    assert restored in (f"{older}-7.envelope", f"{older}-7~1.envelope"), restored
    assert left == f"{newer}-10.0.tmp"
    assert (database / restored).read_bytes() == data
    assert whole.header["event_id"]
    exited(database)  # the run's own, beside them


def test_the_installation_id_is_kept_from_run_to_run(crasher, tmp_path):
    database = tmp_path / "reports"
    crasher("keep", wine_path(database))
    first = only_report(database)
    for report in report_files(database):
        report.unlink()
    crasher("keep", wine_path(database))
    second = only_report(database)
    assert first["user"]["id"] == second["user"]["id"] == (database / "installation_id").read_text()
    assert first["session"]["did"] == second["session"]["did"] == first["user"]["id"]
    assert first["event_id"] != second["event_id"]
    assert first["session"]["sid"] != second["session"]["sid"]
