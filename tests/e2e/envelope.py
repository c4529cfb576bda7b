"""Reading the crash reporter's envelopes as the service does: a header line, then items, each
a header line and exactly `length` bytes, each followed by a line feed (the last one's optional).
"""
import json
import os
import subprocess
from dataclasses import dataclass
from pathlib import Path

# Files of the database folder that are not reports.
NOT_REPORTS = {"installation_id", "client_reports"}
# How a session's end of its own is named there, as <stamp>-<pid>-session.envelope.
SESSION_END = "-session.envelope"
# A session's record while its run lives (or until a later start settles it): <sid>.open-session.
OPEN_SESSION = ".open-session"

SOURCE = Path(__file__).resolve().parents[2]
MINIDUMP_STACKWALK = Path(os.environ.get(
    "LAUNCHER_MINIDUMP_STACKWALK",
    SOURCE / "build/tools/node_modules/minidump/bin/linux-x64/minidump_stackwalk"))


@dataclass
class Envelope:
    header: dict
    items: list  # (item header, payload bytes)

    def payloads(self, kind):
        return [payload for header, payload in self.items if header["type"] == kind]

    def one(self, kind):
        found = self.payloads(kind)
        assert len(found) == 1, [header for header, _ in self.items]
        return found[0]

    @property
    def event(self):
        return json.loads(self.one("event"))

    @property
    def session(self):
        found = self.payloads("session")
        return json.loads(found[0]) if found else None


def parse(data):
    """Fails on anything that is not a whole envelope. An item without a `length` (as another
    writer may send) runs to the next line feed."""
    end = data.index(b"\n")
    header = json.loads(data[:end])
    assert isinstance(header, dict), header
    pos, items = end + 1, []
    while pos < len(data):
        end = data.index(b"\n", pos)
        item = json.loads(data[pos:end])
        assert isinstance(item.get("type"), str), item
        pos = end + 1
        if "length" not in item:
            end = data.find(b"\n", pos)
            end = len(data) if end < 0 else end
            items.append((item, data[pos:end]))
            pos = end + 1
            continue
        length = item["length"]
        assert pos + length <= len(data), f"item {item} runs past the end"
        items.append((item, data[pos:pos + length]))
        pos += length
        if pos < len(data):
            assert data[pos:pos + 1] == b"\n", f"no line feed after {item}"
            pos += 1
    return Envelope(header, items)


def report_files(folder):
    """Every file the reporter left in its database folder, but its own bookkeeping, the
    sessions' ends and their records: the crash reports, and whatever else is there."""
    if not folder.is_dir():
        return []
    return sorted(p for p in folder.iterdir()
                  if p.name not in NOT_REPORTS and not p.name.endswith(SESSION_END)
                  and not p.name.endswith(OPEN_SESSION))


def session_ends(folder):
    """The sessions' ends waiting in the database folder, oldest first, parsed."""
    if not folder.is_dir():
        return []
    return [parse(p.read_bytes()) for p in sorted(folder.glob("*" + SESSION_END))]


def open_sessions(folder):
    """The sids of the sessions' records in the database folder, sorted."""
    if not folder.is_dir():
        return []
    return sorted(p.name[:-len(OPEN_SESSION)] for p in folder.glob("*" + OPEN_SESSION))


def only_envelope(folder):
    found = report_files(folder)
    assert [f.suffix for f in found] == [".envelope"], found
    return parse(found[0].read_bytes())


def stackwalk(dump, folder):
    """breakpad's reading of a minidump: its text output."""
    assert MINIDUMP_STACKWALK.exists(), f"{MINIDUMP_STACKWALK} is missing (scripts/install-deps.sh)"
    path = folder / "minidump.dmp"
    path.write_bytes(dump)
    done = subprocess.run([str(MINIDUMP_STACKWALK), str(path)], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]
    return done.stdout.decode(errors="replace")


def image_of(event, address):
    """The code file of the loaded image that holds an address, or None."""
    for image in event["debug_meta"]["images"]:
        base = int(image["image_addr"], 16)
        if base <= address < base + image["image_size"]:
            return image["code_file"]
    return None
