"""A crash-report server for the tests: an HTTP server on 127.0.0.1 that records every POST and
answers as the test scripts it, and the envelopes the tests leave for it to receive.

It stops by itself after a while should a test never stop it, answers nothing past its
script (200 for the rest), and holds a request it is told never to answer, or to answer when the
test says so, only until it is stopped. As the service does, it answers 400 to an envelope whose
header names another DSN (public key or project) than the request's, whatever the script says."""
import json
import re
import threading
import time
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

HANG = "hang"  # in a script: take the request and never answer it
HOLD = "hold"  # in a script: take the request and answer it 200 once the test calls go_on()
MAX_BODY = 64 << 20
LIFETIME_S = 600


@dataclass
class Request:
    path: str
    headers: dict  # lower-case names
    body: bytes
    arrived: float  # time.monotonic() when the whole body was in
    status: object = None  # what it was answered, HANG, or None while it is being answered

    def summary(self):
        """One line of the receiver's log: the items' types, the header's DSN, the answer."""
        try:
            lines = self.body.split(b"\n")
            header = json.loads(lines[0])
            kinds, rest = [], self.body[len(lines[0]) + 1:]
            while rest:
                line, _, rest = rest.partition(b"\n")
                item = json.loads(line)
                kinds.append(item["type"])
                rest = rest[item["length"] + 1:]
            what = f"{','.join(kinds)} dsn={header.get('dsn')}"
        except (ValueError, KeyError):
            what = f"{len(self.body)} bytes, not an envelope"
        return f"POST {self.path} [{what}] -> {self.status}"


def header_dsn_mismatch(path, headers, body):
    """Whether the envelope header's DSN names another key or project than the request."""
    try:
        dsn = json.loads(body.split(b"\n", 1)[0]).get("dsn")
    except ValueError:
        return False
    if not dsn:
        return False
    found = re.match(r"^https?://([^:@/]+)(?::[^@/]*)?@[^/]+/(?:.*/)?([0-9]+)$", dsn)
    key = re.search(r"sentry_key=([^,\s]+)", headers.get("x-sentry-auth", ""))
    project = re.search(r"/api/([0-9]+)/envelope/$", path)
    return (found is None or key is None or project is None
            or found.group(1) != key.group(1) or found.group(2) != project.group(1))


class Receiver:
    """answers: one per request in order, each (status, {header: value}), HANG or HOLD; later
    requests get 200. flag: a file made when `expect` requests have come (HANG and HOLD ones
    count when they arrive), so the application of the run can stop waiting."""

    def __init__(self, answers=(), flag=None, expect=None, tls=None):
        """tls: an ssl.SSLContext to serve https with, as the host localhost."""
        self.answers, self.flag, self.expect, self.tls = list(answers), flag, expect, tls
        self.connections = 0
        self.requests = []
        self.lock = threading.Lock()
        self.release = threading.Event()
        self.held = threading.Event()
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            timeout = 30  # a client that stops sending halfway is let go

            def do_POST(self):
                receiver.serve(self)

            def log_message(self, *args):
                pass

        class Server(ThreadingHTTPServer):
            def verify_request(self, request, client_address):
                receiver.connections += 1
                return True

            def handle_error(self, request, client_address):
                pass  # a client that refuses the certificate ends the handshake

        self.server = Server(("127.0.0.1", 0), Handler)
        if tls is not None:
            self.server.socket = tls.wrap_socket(self.server.socket, server_side=True,
                                                 do_handshake_on_connect=False)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,),
                                       daemon=True)
        self.timer = threading.Timer(LIFETIME_S, self.stop)
        self.timer.daemon = True

    def __enter__(self):
        self.thread.start()
        self.timer.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self.timer.cancel()
        self.release.set()
        self.held.set()
        self.server.shutdown()
        self.server.server_close()

    def go_on(self):
        """Answers the HOLD requests, and those to come."""
        self.held.set()

    def dsn(self, key="pubkey", path="", project="42"):
        if self.tls is not None:
            return f"https://{key}@localhost:{self.port}/{path}{project}"
        return f"http://{key}@127.0.0.1:{self.port}/{path}{project}"

    def serve(self, handler):
        length = int(handler.headers.get("Content-Length", "0"))
        if length > MAX_BODY:
            handler.send_error(413)
            return
        body = handler.rfile.read(length)
        headers = {k.lower(): v for k, v in handler.headers.items()}
        request = Request(handler.path, headers, body, time.monotonic())
        with self.lock:
            self.requests.append(request)
            index = len(self.requests) - 1
            answer = self.answers[index] if index < len(self.answers) else (200, {})
        if header_dsn_mismatch(handler.path, headers, body):
            answer = (400, {})
        if callable(answer):  # a slow answer: the request counts when it arrives
            self.count_in()
            answer = answer()
        request.status = answer if answer in (HANG, HOLD) else answer[0]
        if answer == HANG:
            self.count_in()
            self.release.wait(LIFETIME_S)
            handler.close_connection = True
            return
        if answer == HOLD:
            self.count_in()
            self.held.wait(LIFETIME_S)
            if self.release.is_set():  # stopped, not told to go on
                handler.close_connection = True
                return
            answer = (200, {})
            request.status = 200
        status, headers = answer
        reply = json.dumps({"id": "0" * 32}).encode() if 200 <= status < 300 else b"{}"
        handler.send_response(status)
        for name, value in headers.items():
            handler.send_header(name, value)
        handler.send_header("Content-Type", "application/json")
        handler.send_header("Content-Length", str(len(reply)))
        handler.end_headers()
        handler.wfile.write(reply)
        handler.wfile.flush()
        self.count_in()

    def count_in(self):
        with self.lock:
            done = self.expect is not None and len(self.requests) >= self.expect
        if done and self.flag is not None:
            Path(self.flag).touch()

    def log(self):
        return [request.summary() for request in self.requests]

    def wait_for(self, count, seconds):
        deadline = time.monotonic() + seconds
        while len(self.requests) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return len(self.requests) >= count


def make_envelope(event_id, items, dsn=None):
    """A Sentry envelope of (item type, payload bytes, extra item header fields)."""
    header = {"event_id": event_id, "sent_at": "2024-02-29T12:00:00.000Z"}
    if dsn is not None:
        header["dsn"] = dsn
    parts = [json.dumps(header).encode()]
    for kind, payload, extra in items:
        parts.append(json.dumps({"type": kind, "length": len(payload), **extra}).encode())
        parts.append(payload)
    return b"\n".join(parts) + b"\n"


def crash_envelope(event_id, timestamp="2024-02-29T12:00:00.000Z", dsn=None):
    """An event, its session ended as crashed and a minidump, as a crash leaves them."""
    event = json.dumps({"event_id": event_id, "timestamp": timestamp, "level": "fatal",
                        "release": "TavroStudio 1.5.27", "environment": "production",
                        "platform": "native"}).encode()
    session = json.dumps({"sid": "9c2a8e0a-6b7c-4d3e-8f91-0a1b2c3d4e5f", "init": False,
                          "started": timestamp, "timestamp": timestamp, "status": "crashed",
                          "errors": 1, "attrs": {"release": "TavroStudio 1.5.27",
                                                 "environment": "production"}}).encode()
    # Every byte value, line feeds and NULs among them: the body must arrive as it is.
    minidump = b"MDMP\x93\xa7\x00\x00" + bytes(range(256)) + b"\r\n\n\x00" + event_id.encode()
    return make_envelope(event_id, [
        ("event", event, {}),
        ("session", session, {}),
        ("attachment", minidump, {"filename": "minidump.dmp",
                                  "attachment_type": "event.minidump"}),
    ], dsn)
