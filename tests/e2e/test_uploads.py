"""The lite crash reporter sends the envelopes waiting in the launcher's "dump" folder to the
DSN the telemetry plugin gives, at the start of a run, against a receiver on 127.0.0.1
(receiver.py). The same receiver takes what the real SDK's sentry.dll sends (the SDK install
that LAUNCHER_SENTRY_SDK_PREFIX names)."""
import contextlib
import json
import os
import threading
import time
import pytest

from conftest import put_sentry_sdk, sentry_sdk_bin, wine_path
from envelope import parse, report_files, session_ends as parsed_session_ends
from receiver import HANG, HOLD, Receiver, crash_envelope

AUTH = "Sentry sentry_key=pubkey, sentry_version=7, sentry_client=sentry.native.lite/1.5.27"
ENVELOPE_TYPE = "application/x-sentry-envelope"
APP_LINE = "application received 3 arguments"
CRASH_WORD = "--crash-now"
# Generous: what the application is given for the reporter's work, and what a run may take.
WAIT_MS = 20000
RUN_LIMIT_S = 60
# A database folder's own path, in characters, near the limit of a path without the long-path
# form (260) once the reporter's file names (up to about 47 characters) are added to it.
NEAR_THE_LIMIT = 215
# The reporter's shutdown leaves a request in flight after 2 s, and the run ends about 4 s after
# the request came in on a busy machine (Wine's ending of the process takes the rest); waiting for
# the answer would take the 10 s of WinHTTP's receive time-out, and then the same.
STOPPED_WITHIN_S = 8


def event_id(i):
    return f"{i:032x}"


def envelope_name(i):
    return f"20240229T1200{i // 10 % 6}{i % 10}{i // 60:03d}Z-{1000 + i}.envelope"


@pytest.fixture
def uploads(stage, tmp_path):
    """A launcher folder with the test plugin, and its database folder with `count` crash
    envelopes in it, oldest first by name (and written newest first, so the name decides)."""
    def make(count, dsn=None, receiver=None, wait_ms=None, folder=None, **settings):
        launcher = stage(folder)
        launcher.add("plugin", "TavroPlugin.dll")
        database = launcher.folder / "dump"
        database.mkdir()
        envelopes = {}
        for i in reversed(range(count)):
            body = crash_envelope(event_id(i))
            (database / envelope_name(i)).write_bytes(body)
            envelopes[envelope_name(i)] = body
        flag = tmp_path / "received-all"
        if receiver is not None:
            receiver.flag = flag
        launcher.env.update({"TAVRO_TEST_PLUGIN_DSN": dsn if dsn is not None else "",
                             "TAVRO_TEST_APP_WAIT_MS": str(wait_ms if wait_ms is not None
                                                           else WAIT_MS),
                             "TAVRO_TEST_APP_WAIT_FOR": wine_path(flag), **settings})
        launcher.database, launcher.envelopes = database, envelopes
        return launcher
    return make


def pending(launcher):
    """Crash reports waiting in the database folder (and anything else but session ends)."""
    return [p.name for p in report_files(launcher.database)]


def session_ends(launcher):
    return parsed_session_ends(launcher.database)


def run_to_the_end(launcher, *args):
    started = time.monotonic()
    run = launcher.run("a.gcode", *args, timeout=RUN_LIMIT_S)
    if not args:
        assert run.code == 0, run.lines
        assert APP_LINE in run.lines
    return run, time.monotonic() - started


def check_posted(request, body=None, path="/api/42/envelope/"):
    assert request.path == path
    assert request.headers["x-sentry-auth"] == AUTH
    assert request.headers["content-type"] == ENVELOPE_TYPE
    if body is not None:
        assert request.body == body
    return parse(request.body)


def is_session_end(request):
    return [item["type"] for item, _ in parse(request.body).items] == ["session"]


def crash_bodies(receiver):
    return [r.body for r in receiver.requests if not is_session_end(r)]


def exited_session(request, path="/api/42/envelope/"):
    """The session a request ends cleanly, after the checks every session end passes."""
    envelope = check_posted(request, path=path)
    assert "event_id" not in envelope.header
    session = envelope.session
    assert session["status"] == "exited" and session["errors"] == 0, session
    assert session["init"] is True
    assert 0 <= session["duration"] < RUN_LIMIT_S
    assert session["attrs"] == {"release": "TavroStudio 1.5.27", "environment": "production"}
    return session


def test_each_pending_envelope_is_posted_once_oldest_first_and_removed(uploads):
    with Receiver(expect=3) as receiver:
        launcher = uploads(3, receiver=receiver)
        launcher.env["TAVRO_TEST_PLUGIN_DSN"] = receiver.dsn(path="base/v1/")
        # What is not a whole envelope stays where it is.
        others = ["20240229T110000000Z-7.json", "20240229T110000000Z-8.tmp",
                  "20240229T110000000Z-9.envelope.tmp"]
        for name in others:
            (launcher.database / name).write_bytes(b"{}")
        run_to_the_end(launcher)
    names = sorted(launcher.envelopes)
    # The three, then the run's own session end, sent while the reporter shut down.
    assert len(receiver.requests) == 4, [r.body[:80] for r in receiver.requests]
    for request, name in zip(receiver.requests, names):
        envelope = check_posted(request, launcher.envelopes[name], path="/base/v1/api/42/envelope/")
        assert [item["type"] for item, _ in envelope.items] == ["event", "session", "attachment"]
    exited_session(receiver.requests[3], path="/base/v1/api/42/envelope/")
    assert pending(launcher) == sorted(others)
    assert session_ends(launcher) == []


@contextlib.contextmanager
def answered_once_a_crash_is_taken(receiver, database):
    """Lets the receiver answer what it holds once a crash has begun its report (the report's
    first version, a .tmp file, is in the database folder): from then on the upload thread is
    free to go on while the crash is handled, which takes the minidump's time at least."""
    done = threading.Event()

    def watch():
        while not done.is_set():
            if any(p.suffix == ".tmp" for p in database.iterdir()):
                receiver.go_on()
                return
            time.sleep(0.01)
    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    try:
        yield
    finally:
        done.set()
        watcher.join()


def test_a_crash_goes_at_the_next_start_once_with_both_sessions(uploads):
    """A crash while the upload thread sends stops it: the crashed process posts nothing more,
    not even what was waiting before it. The next start sends the rest and the crash, oldest
    first, once, then the session that start ended cleanly. Both sessions count the same
    installation."""
    with Receiver(answers=[HOLD], expect=1) as receiver:
        launcher = uploads(2, receiver=receiver)
        launcher.env["TAVRO_TEST_PLUGIN_DSN"] = receiver.dsn()
        first, second = sorted(launcher.envelopes)
        # The application crashes once the first post is in; its answer comes after the crash.
        with answered_once_a_crash_is_taken(receiver, launcher.database):
            crashed, _ = run_to_the_end(launcher, CRASH_WORD)
        assert crashed.code == 0xC0000005 & 0xFF, crashed.lines
        assert [r.body for r in receiver.requests] == [launcher.envelopes[first]], \
            "the crashed process went on sending"
        assert first not in pending(launcher), "what the server took was not removed"
        [report] = [name for name in pending(launcher) if name != second]
        body = (launcher.database / report).read_bytes()
        kept = parse(body)

        receiver.requests.clear()
        run_to_the_end(launcher)
        requests = list(receiver.requests)
        run_to_the_end(launcher)  # nothing of the crash is left to send again
    assert len(requests) == 3, [r.body[:80] for r in requests]
    check_posted(requests[0], launcher.envelopes[second])
    sent = check_posted(requests[1], body)
    assert sent.header["event_id"] == sent.event["event_id"] == kept.event["event_id"]
    assert sent.event["exception"]["values"][0]["type"] == "EXCEPTION_ACCESS_VIOLATION_WRITE"
    assert sent.one("attachment").startswith(b"MDMP")
    crashed_session = sent.session
    assert crashed_session["status"] == "crashed"
    exited = exited_session(requests[2])
    installation = (launcher.database / "installation_id").read_text()
    assert crashed_session["did"] == exited["did"] == installation
    assert crashed_session["sid"] != exited["sid"]
    assert crash_bodies(receiver) == [launcher.envelopes[second], body]
    assert len(receiver.requests) == 4  # the third start's own session end
    assert pending(launcher) == [] and session_ends(launcher) == []


# The first answer, then 200 for the rest; a second start sends what the first kept, once.
# A run that is refused or rate-limited sends nothing more, its own session end included.
@pytest.mark.parametrize("answer, removed, posted_first", [
    ((503, {}), False, 1),          # the server is not taking envelopes now: stop, keep
    ((500, {}), False, 1),
    ((429, {"Retry-After": "3600"}), False, 1),
    ((429, {"X-Sentry-Rate-Limits": "3600:error;session:key"}), False, 1),
    ((400, {}), True, 4),           # never taken: removed, the next goes on
    ((413, {}), True, 4),
], ids=["503", "500", "429-retry-after", "429-rate-limits", "400", "413"])
def test_what_an_answer_does_with_the_file_and_the_next_start(uploads, answer, removed,
                                                              posted_first):
    with Receiver(answers=[answer], expect=min(posted_first, 3)) as receiver:
        launcher = uploads(3, receiver=receiver)
        launcher.env["TAVRO_TEST_PLUGIN_DSN"] = receiver.dsn()
        if posted_first == 1:
            # No wait for more than was asked for: a run that would send more would do it
            # in the seconds the application gives it.
            launcher.env["TAVRO_TEST_APP_WAIT_MS"] = "3000"
            launcher.env.pop("TAVRO_TEST_APP_WAIT_FOR")
        run_to_the_end(launcher)
        assert len(receiver.requests) == posted_first
        names = sorted(launcher.envelopes)
        kept = names[1 if removed else 0:] if posted_first == 1 else []
        check_posted(receiver.requests[0], launcher.envelopes[names[0]])
        assert pending(launcher) == kept
        first_end = session_ends(launcher)
        assert len(first_end) == (1 if posted_first == 1 else 0)

        receiver.requests.clear()
        receiver.answers = []
        run_to_the_end(launcher)
        assert crash_bodies(receiver) == [launcher.envelopes[n] for n in kept]
        # The first run's session end, if it waited, then this run's: oldest first.
        ends = [r for r in receiver.requests if is_session_end(r)]
        assert len(ends) == len(first_end) + 1
        sids = [exited_session(r)["sid"] for r in ends]
        assert len(set(sids)) == len(sids)
        assert pending(launcher) == [] and session_ends(launcher) == []


def test_a_server_that_never_answers_delays_nothing_and_the_file_stays(uploads):
    with Receiver(answers=[HANG], expect=1) as receiver:
        launcher = uploads(2, receiver=receiver)
        launcher.env["TAVRO_TEST_PLUGIN_DSN"] = receiver.dsn()
        # The application returns once the request is in flight; the reporter's shutdown gives
        # it 2 s and leaves it.
        run_to_the_end(launcher)
        ended = time.monotonic()
        assert len(receiver.requests) == 1
    seconds = ended - receiver.requests[0].arrived
    assert seconds < STOPPED_WITHIN_S, f"the run ended {seconds:.1f} s after its request"
    assert pending(launcher) == sorted(launcher.envelopes)
    assert len(session_ends(launcher)) == 1


def test_a_refused_connection_keeps_every_file(uploads):
    with Receiver() as receiver:
        closed_port_dsn = receiver.dsn()
    launcher = uploads(2, dsn=closed_port_dsn, wait_ms=3000)
    run_to_the_end(launcher)
    assert pending(launcher) == sorted(launcher.envelopes)
    [end] = session_ends(launcher)
    assert end.session["status"] == "exited"


# Nothing is sent, every report stays, and no session end is written that could never leave.
@pytest.mark.parametrize("dsn, settings", [
    ("", {}),
    ("ftp://pubkey@127.0.0.1:{port}/42", {}),
    ("http://127.0.0.1:{port}/42", {}),              # no key
    ("http://@127.0.0.1:{port}/42", {}),
    ("http://pubkey@127.0.0.1:{port}/", {}),         # no project
    ("http://pubkey@127.0.0.1:{port}/42/", {}),
    ("http://pubkey@127.0.0.1:{port}/project", {}),
    ("http://pubkey@127.0.0.1:{port}x/42", {}),      # bad port
    ("http://pubkey@127.0.0.1:0/42", {}),
    ("http://pubkey@127.0.0.1:{port}/42?sentry_key=x", {}),
    ("http://pub key@127.0.0.1:{port}/42", {}),
    ("http://pubkey@127.0.0.1:{port}/42\x7f", {}),
    ("http://pubk\u00e9y@127.0.0.1:{port}/42", {}),
    ("", {"TAVRO_TEST_PLUGIN_DSN_SIZE": str(1 << 20)}),  # a megabyte of "x"
], ids=lambda value: None if isinstance(value, dict) else repr(value)[:40])
def test_a_dsn_that_does_not_read_sends_nothing_and_keeps_every_file(uploads, dsn, settings):
    with Receiver() as receiver:
        launcher = uploads(2, dsn=dsn.format(port=receiver.port), wait_ms=2000, **settings)
        run_to_the_end(launcher)
        assert receiver.requests == []
    assert pending(launcher) == sorted(launcher.envelopes)
    assert session_ends(launcher) == []


# Without a DSN it can use the run only caps the folder: the DSN without a key names the receiver
# all the same, so anything sent would reach it.
@pytest.mark.parametrize("send", [False, True], ids=["no usable DSN", "server up"])
def test_more_pending_envelopes_than_the_cap_leave_the_newest(uploads, send):
    with Receiver(expect=10) as receiver:
        launcher = uploads(35, receiver=receiver, wait_ms=None if send else 0)
        launcher.env["TAVRO_TEST_PLUGIN_DSN"] = receiver.dsn(key="pubkey" if send else "")
        run_to_the_end(launcher)
        receiver.wait_for(11, 1)
    names = sorted(launcher.envelopes)
    if send:
        # The 5 oldest go unsent, the next 10 are the run's share, the newest 20 wait, and so
        # does the run's session end.
        assert [r.body for r in receiver.requests] == [launcher.envelopes[n] for n in names[5:15]]
        assert pending(launcher) == names[15:]
        assert len(session_ends(launcher)) == 1
    else:
        assert receiver.requests == []
        assert pending(launcher) == names[5:]


def folder_of_length(parent, length):
    """A folder in `parent` whose Windows path, as Wine gives it, is `length` characters long."""
    padding = length - len(wine_path(parent)) - 1
    assert 0 < padding <= 255, padding
    return parent / ("p" * padding)


def test_a_database_folder_near_the_path_limit_is_written_sent_and_capped(uploads, tmp_path):
    """The whole launcher folder staged where its database folder's path is 215 characters long,
    with 35 crash reports named as the SDK names them (45 characters: a path of 261 with the
    folder's), which age by their last write, and a whole report a crashed run left under a
    temporary name: the sweep puts that one in place, a crash's report is written there, and the
    next start caps the folder (37 crash reports: the 7 oldest go) and sends the next 10, oldest
    first."""
    folder = folder_of_length(tmp_path, NEAR_THE_LIMIT - len("\\dump"))
    with Receiver(expect=10) as receiver:
        launcher = uploads(0, dsn=receiver.dsn(), receiver=receiver, folder=folder)
        assert len(wine_path(launcher.database)) == NEAR_THE_LIMIT
        names = []
        for i in range(35):
            name = f"{i:08x}-0000-4000-8000-{i:012x}.envelope"
            path = launcher.database / name
            path.write_bytes(crash_envelope(event_id(i)))
            os.utime(path, (1709208000 + i * 60, 1709208000 + i * 60))
            names.append(name)
        bodies = [(launcher.database / name).read_bytes() for name in names]
        left = launcher.database / f"{35:08x}-0000-4000-8000-{35:012x}.1.tmp"
        left.write_bytes(crash_envelope(event_id(35)))
        os.utime(left, (1709208000 + 35 * 60, 1709208000 + 35 * 60))
        swept = left.name.split(".")[0] + ".envelope"
        # The application crashes at once, before the run sends anything.
        launcher.env["TAVRO_TEST_APP_WAIT_MS"] = "0"
        crashed, _ = run_to_the_end(launcher, CRASH_WORD)
        assert crashed.code == 0xC0000005 & 0xFF, crashed.lines
        [report] = [name for name in pending(launcher) if name not in names + [swept]]
        event = parse((launcher.database / report).read_bytes()).event
        assert event["exception"]["values"][0]["type"] == "EXCEPTION_ACCESS_VIOLATION_WRITE"

        launcher.env["TAVRO_TEST_APP_WAIT_MS"] = str(WAIT_MS)
        run_to_the_end(launcher)
        receiver.wait_for(11, 1)
    assert crash_bodies(receiver) == bodies[7:17]
    assert pending(launcher) == sorted(names[17:] + [swept, report])


def test_the_receiver_takes_what_the_real_sdk_sends(stage, tmp_path):
    """A crash under the SDK's sentry.dll, then a normal start: the crash's envelope and both
    sessions reach the receiver as the lite reporter's do."""
    sdk_bin = sentry_sdk_bin()
    with Receiver() as receiver:
        launcher = stage(app="app-crashing")
        launcher.add("plugin", "TavroPlugin.dll")
        put_sentry_sdk(sdk_bin, launcher.folder)
        env = {"TAVRO_TEST_PLUGIN_DSN": receiver.dsn()}
        # An abort: the SDK passes an exception on to the system once it has written its
        # envelope, and Wine then never ends the process.
        crashed = launcher.run("a.gcode", env={**env, "TAVRO_TEST_CRASH": "abort"},
                               timeout=RUN_LIMIT_S)
        assert crashed.code == 3, crashed.lines
        launcher.run("a.gcode", env=env, timeout=RUN_LIMIT_S)
        receiver.wait_for(2, 5)
        requests = list(receiver.requests)
    assert requests, "the SDK sent nothing"
    items = []
    for request in requests:
        assert request.path == "/api/42/envelope/"
        assert request.headers["x-sentry-auth"].startswith(
            "Sentry sentry_key=pubkey, sentry_version=7, sentry_client=sentry.native/")
        assert request.headers["content-type"] == ENVELOPE_TYPE
        items += parse(request.body).items
    kinds = [item["type"] for item, _ in items]
    assert "event" in kinds, kinds
    statuses = [json.loads(payload)["status"] for item, payload in items
                if item["type"] == "session"]
    assert "crashed" in statuses and "exited" in statuses, statuses
