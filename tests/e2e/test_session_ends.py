"""What the server learns of each run's session, whatever way the run ends, through the launcher
with the lite crash reporter and the receiver (receiver.py): a clean end is "exited", a crash's
end is "crashed" inside its report, and a run whose end nobody saw (killed, ExitProcess) is
"abnormal", sent by the next start. Every session ends once, and two viewers running from one
folder never take each other's session for one that ended."""
import datetime
import json
import threading
import time

import pytest

from conftest import wine_path
from envelope import open_sessions, parse, report_files, session_ends
from receiver import Receiver, make_envelope

ATTRS = {"release": "TavroStudio 1.5.27", "environment": "production"}
RUN_LIMIT_S = 60
# What a waiting application gives the reporter's uploads at most.
WAIT_MS = 20000


class Viewer:
    """A launcher folder with the test plugin, whose DSN names the receiver."""

    def __init__(self, launcher, receiver, tmp_path):
        self.launcher, self.receiver, self.tmp_path = launcher, receiver, tmp_path
        self.database = launcher.folder / "dump"
        self.flags = 0
        self.app = None
        launcher.env["TAVRO_TEST_PLUGIN_DSN"] = receiver.dsn()

    def use(self, app):
        """The application library the next runs load. Copied only when it changes: a running
        viewer has the file mapped."""
        if app != self.app:
            self.launcher.add(app, "orviStudio.dll")
            self.app = app

    def run(self, way=None):
        """A run of the application that dies the way named (tests/windows/fixtures/
        crashing_application.cpp), or returns at once for None."""
        self.use("app-crashing")
        return self.launcher.run("a.gcode", env={"TAVRO_TEST_CRASH": way or ""},
                                 timeout=RUN_LIMIT_S)

    def run_until_sent(self, count, wait_ms=WAIT_MS, env=None):
        """A clean run whose application returns once the receiver has `count` more requests
        (what waited in the folder), or after wait_ms."""
        self.use("app")
        self.flags += 1
        flag = self.tmp_path / f"sent-{self.flags}"
        self.receiver.flag, self.receiver.expect = flag, len(self.receiver.requests) + count
        return self.launcher.run("a.gcode", timeout=RUN_LIMIT_S, env={
            "TAVRO_TEST_APP_WAIT_MS": str(wait_ms), "TAVRO_TEST_APP_WAIT_FOR": wine_path(flag),
            **(env or {})})

    def sessions(self):
        """Every session the server got, in the order it got them: (envelope, session)."""
        found = []
        for request in self.receiver.requests:
            envelope = parse(request.body)
            found += [(envelope, json.loads(payload)) for payload in envelope.payloads("session")]
        return found

    def installation_id(self):
        return (self.database / "installation_id").read_text()


@pytest.fixture
def viewer(stage, tmp_path):
    with Receiver() as receiver:
        launcher = stage()
        launcher.add("plugin", "TavroPlugin.dll")
        yield Viewer(launcher, receiver, tmp_path)


def check_end(envelope, session, status, viewer):
    """A session's end of its own, as every one is: no event, the installation, the attrs."""
    assert "event_id" not in envelope.header
    assert [item["type"] for item, _ in envelope.items] == ["session"]
    assert session["status"] == status and session["errors"] == 0, session
    assert session["init"] is True
    assert session["did"] == viewer.installation_id()
    assert session["attrs"] == ATTRS
    assert session["started"] <= session["timestamp"]
    assert 0 <= session["duration"] < RUN_LIMIT_S


# ExitProcess ends the process with no end of the session: the reporter does not take that
# exit for a clean one (the process's other threads are already gone, maybe holding the heap's
# lock), so it is abnormal, as the early exit after a failed software switch is.
@pytest.mark.parametrize("way, code", [("kill-self", 9), ("exit-process", 5)])
def test_a_run_that_ended_unseen_is_sent_as_abnormal_by_the_next_start_once(viewer, way, code):
    ended = viewer.run(way)
    assert ended.code == code, ended.lines
    assert viewer.receiver.requests == []
    [sid] = open_sessions(viewer.database)

    second = viewer.run_until_sent(1)
    assert second.code == 0, second.lines
    assert viewer.receiver.wait_for(2, 5)
    [(envelope, abnormal), (exited_envelope, exited)] = viewer.sessions()
    check_end(envelope, abnormal, "abnormal", viewer)
    assert abnormal["sid"] == sid
    check_end(exited_envelope, exited, "exited", viewer)
    assert exited["sid"] != sid
    assert open_sessions(viewer.database) == [] and session_ends(viewer.database) == []

    viewer.run()  # nothing of the first run is left to send
    assert viewer.receiver.wait_for(3, 5)
    time.sleep(1)
    assert [s["status"] for _, s in viewer.sessions()] == ["abnormal", "exited", "exited"]


def test_a_crashed_run_is_sent_as_crashed_only(viewer):
    crashed = viewer.run("null-write")
    assert crashed.code == 0xC0000005 & 0xFF, crashed.lines
    # The report carries the session: its record went with the process.
    assert open_sessions(viewer.database) == []
    [report] = report_files(viewer.database)
    sid = parse(report.read_bytes()).session["sid"]

    viewer.run_until_sent(1)
    assert viewer.receiver.wait_for(2, 5)
    time.sleep(1)
    [(crash, in_crash), (envelope, exited)] = viewer.sessions()
    assert crash.event["exception"]["values"][0]["type"] == "EXCEPTION_ACCESS_VIOLATION_WRITE"
    assert (in_crash["status"], in_crash["sid"]) == ("crashed", sid)
    check_end(envelope, exited, "exited", viewer)
    assert len(viewer.receiver.requests) == 2
    assert open_sessions(viewer.database) == [] and report_files(viewer.database) == []


def told_end(sid, status):
    """An envelope that tells a session's end, as another start left it: a crash's report (an
    event, the session as crashed), or a session's end of its own."""
    session = json.dumps({"sid": sid, "did": "6ef5a2e3-fd53-4550-9708-b2481ae82cd0", "init": True,
                          "started": "2024-02-29T12:00:00.000Z",
                          "timestamp": "2024-02-29T12:00:01.000Z", "status": status,
                          "errors": int(status == "crashed"), "duration": 1.0,
                          "attrs": ATTRS}).encode()
    if status != "crashed":
        return make_envelope("", [("session", session, {})])
    event = json.dumps({"event_id": "ab" * 16, "level": "fatal", "platform": "native"}).encode()
    return make_envelope("ab" * 16, [("event", event, {}), ("session", session, {}),
                                     ("attachment", b"MDMP" + bytes(300), {
                                         "attachment_type": "event.minidump"})])


# A start that finds the record of a run that ended reads what waits beside it: a report that
# carries the session (its crash's, whose end did not remove the record, or its end, kept by a
# start that ended before it removed the record) already tells it; anything else leaves it
# abnormal.
@pytest.mark.parametrize("beside, statuses", [
    ("its crash", ["crashed", "exited"]),
    ("its end", ["exited", "exited"]),
    ("another session's crash", ["crashed", "abnormal", "exited"]),
])
def test_what_waits_beside_an_ended_run_s_record_decides_its_end(viewer, beside, statuses):
    viewer.run("kill-self")
    [sid] = open_sessions(viewer.database)
    told = {"its crash": (sid, "crashed", ".envelope"),
            "its end": (sid, "exited", "-session.envelope"),
            "another session's crash": ("9c2a8e0a-6b7c-4d3e-8f91-0a1b2c3d4e5f", "crashed",
                                        ".envelope")}
    told_sid, status, suffix = told[beside]
    # Written minutes ago: older than what the next start writes, and young enough to be sent.
    stamp = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(minutes=5)
    name = f"{stamp:%Y%m%dT%H%M%S}{stamp.microsecond // 1000:03d}Z-77{suffix}"
    (viewer.database / name).write_bytes(told_end(told_sid, status))

    viewer.run_until_sent(len(statuses) - 1)
    assert viewer.receiver.wait_for(len(statuses), 5)
    time.sleep(1)
    sessions = [session for _, session in viewer.sessions()]
    assert [s["status"] for s in sessions] == statuses
    assert [s["sid"] for s in sessions if s["sid"] == sid] == [sid], "told once"
    assert open_sessions(viewer.database) == [] and report_files(viewer.database) == []


def test_two_clean_runs_are_two_exited(viewer):
    # A C++ exception thrown and caught on the way is no crash (the vectored handler takes heap
    # corruption alone).
    first = viewer.run("caught-throw")
    assert first.code == 0 and "caught" in first.lines, first.lines
    viewer.run()
    assert viewer.receiver.wait_for(2, 5)
    time.sleep(1)
    ends = viewer.sessions()
    assert len(ends) == 2
    for envelope, session in ends:
        check_end(envelope, session, "exited", viewer)
    assert ends[0][1]["sid"] != ends[1][1]["sid"]
    assert open_sessions(viewer.database) == [] and report_files(viewer.database) == []


def wait_until(condition, seconds=RUN_LIMIT_S):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.1)


def test_a_run_still_going_is_not_taken_for_an_ended_one(viewer, tmp_path):
    """A viewer keeps running while another starts and ends from the same folder: the second
    leaves the first one's session alone, and the first ends it as exited."""
    let_go = tmp_path / "let-go"
    going = []
    first = threading.Thread(target=lambda: going.append(viewer.run_until_sent(
        1000, wait_ms=RUN_LIMIT_S * 1000, env={"TAVRO_TEST_APP_WAIT_FOR": wine_path(let_go)})))
    first.start()
    try:
        wait_until(lambda: len(open_sessions(viewer.database)) == 1)
        [first_sid] = open_sessions(viewer.database)
        second = viewer.run_until_sent(0, wait_ms=0)
        assert second.code == 0, second.lines
        assert viewer.receiver.wait_for(1, 5)
        time.sleep(3)  # past the first run's own start of sending
        [(envelope, ended)] = viewer.sessions()
        check_end(envelope, ended, "exited", viewer)
        assert ended["sid"] != first_sid
        assert open_sessions(viewer.database) == [first_sid]
    finally:
        let_go.touch()
        first.join()
    assert going[0].code == 0, going[0].lines
    assert viewer.receiver.wait_for(2, 5)
    time.sleep(1)
    ends = viewer.sessions()
    assert [s["status"] for _, s in ends] == ["exited", "exited"]
    assert ends[1][1]["sid"] == first_sid
    assert open_sessions(viewer.database) == []


def test_two_first_starts_at_once_agree_on_the_installation_id(viewer):
    viewer.use("app-crashing")
    runs = []
    threads = [threading.Thread(target=lambda: runs.append(viewer.run())) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [run.code for run in runs] == [0, 0], [run.lines for run in runs]
    assert viewer.receiver.wait_for(2, 5)
    dids = {session["did"] for _, session in viewer.sessions()}
    assert dids == {viewer.installation_id()}
    assert not list(viewer.database.glob("installation_id.*"))
