"""The logic of scripts/read-report.py: reading an envelope, a PE file's debug id, binutils'
answers, and how frames are named. The tools themselves are run end to end (test_symbols.py)."""
import importlib.util
import json
import struct
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "read-report.py"
spec = importlib.util.spec_from_file_location("read_report", SCRIPT)
rr = importlib.util.module_from_spec(spec)
spec.loader.exec_module(rr)

# The GUID of an image linked by mingw-w64 with --build-id as its record holds it, and the
# debug id sentry-cli prints for it.
GUID = bytes.fromhex("c6928937" "87b6" "1563" "344ed66a9f7c9c87")
GUID_TEXT = "378992c6-b687-6315-344e-d66a9f7c9c87"


def item(kind, payload, length=True):
    header = {"type": kind, **({"length": len(payload)} if length else {})}
    return json.dumps(header).encode() + b"\n" + payload


@pytest.mark.parametrize("name, data, items", [
    ("event and session", b'{"event_id":"e"}\n' + item("event", b'{"a":1}') + b"\n"
     + item("session", b'{"s":2}') + b"\n", [("event", b'{"a":1}'), ("session", b'{"s":2}')]),
    ("last line feed left out", b"{}\n" + item("event", b"{}"), [("event", b"{}")]),
    ("payload holding line feeds", b"{}\n" + item("attachment", b"MD\nMP\n"),
     [("attachment", b"MD\nMP\n")]),
    ("item without a length", b"{}\n" + item("event", b'{"x":0}', length=False) + b"\n",
     [("event", b'{"x":0}')]),
])
def test_whole_envelopes_are_read_item_by_item(name, data, items):
    envelope = rr.parse_envelope(data)
    assert [(h["type"], p) for h, p in envelope.items] == items


@pytest.mark.parametrize("name, data, says", [
    ("empty", b"", "no header line"),
    ("text", b"just some text", "no header line"),
    ("header not JSON", b"MDMP\x93\xa7\n" + item("event", b"{}"), "not JSON"),
    ("header not an object", b"[1]\n" + item("event", b"{}"), "not a JSON object"),
    ("header alone", b"{}\n", "no items"),
    ("payload cut short", b"{}\n" + item("event", b'{"a":1}')[:-3], "cut short"),
    ("item header cut short", b"{}\n" + b'{"type":"ev', "cut short"),
    ("item without a type", b'{}\n{"length":2}\n{}', "no type"),
    ("negative length", b'{}\n{"type":"event","length":-1}\n{}', "bad length"),
    ("bytes after an item", b"{}\n" + item("event", b"{}") + b"X\n", "no line feed"),
])
def test_what_is_no_whole_envelope_is_said_in_one_line(name, data, says):
    with pytest.raises(rr.ReportError, match=says):
        rr.parse_envelope(data)


@pytest.mark.parametrize("age, text", [(0, "-0"), (1, "-1"), (0xA, "-a"), (0xFFFFFFFF,
                                                                         "-ffffffff")])
def test_debug_ids_are_written_as_the_service_writes_them(age, text):
    assert rr.debug_id_text(GUID, age) == GUID_TEXT + text


def pe_file(magic=0x20B, record=b"RSDS" + GUID + struct.pack("<I", 1) + b"\0",
            raw_pointer=True, directory_rva=0x2000, record_rva=0x201C, sections=1, code=False):
    """A PE file as laid out on disk: headers, then one section at file offset 0x400 mapped at
    RVA 0x2000 holding the debug directory and its record; with `code`, a section of code
    before it (RVA 0x1000, file offset 0x200)."""
    data = bytearray(0x600)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, 0x80)
    data[0x80:0x84] = b"PE\0\0"
    optional_size = 0xF0 if magic == 0x20B else 0xE0
    struct.pack_into("<HH", data, 0x84 + 2, sections, 0)
    struct.pack_into("<H", data, 0x84 + 16, optional_size)
    optional = 0x98
    struct.pack_into("<H", data, optional, magic)
    if magic == 0x20B:
        struct.pack_into("<Q", data, optional + 24, 0x317910000)
        count_at, directories = optional + 108, optional + 112
    else:
        struct.pack_into("<I", data, optional + 28, 0x10000000)
        count_at, directories = optional + 92, optional + 96
    struct.pack_into("<I", data, count_at, 16)
    struct.pack_into("<II", data, directories + 8 * 6, directory_rva, 28)
    section = optional + optional_size
    if code:
        data[section:section + 8] = b".text\0\0\0"
        struct.pack_into("<IIII", data, section + 8, 0x200, 0x1000, 0x200, 0x200)
        section += 40
        struct.pack_into("<H", data, 0x84 + 2, sections + 1)
    data[section:section + 8] = b".buildid"
    struct.pack_into("<IIII", data, section + 8, 0x200, 0x2000, 0x200, 0x400)
    record_at = 0x400 + record_rva - 0x2000
    struct.pack_into("<IIII", data, 0x400 + 12, 2, len(record), record_rva,
                     record_at if raw_pointer else 0)
    data[record_at:record_at + len(record)] = record
    return bytes(data)


def read_bytes(data):
    return lambda offset, size: data[offset:offset + size]


@pytest.mark.parametrize("name, data, debug_id, base", [
    ("PE32+ with its record", pe_file(), GUID_TEXT + "-1", 0x317910000),
    ("PE32", pe_file(magic=0x10B), GUID_TEXT + "-1", 0x10000000),
    ("after a section of code", pe_file(code=True, raw_pointer=False), GUID_TEXT + "-1",
     0x317910000),
    ("record found through its RVA alone (a .debug file)", pe_file(raw_pointer=False),
     GUID_TEXT + "-1", 0x317910000),
    ("age 0x2a", pe_file(record=b"RSDS" + GUID + struct.pack("<I", 0x2A) + b"x.pdb\0"),
     GUID_TEXT + "-2a", 0x317910000),
    ("NB10 record", pe_file(record=b"NB10" + bytes(20)), None, None),
    ("directory in no section", pe_file(directory_rva=0x9000), None, None),
    ("no sections", pe_file(sections=0), None, None),
])
def test_a_files_debug_id_comes_from_its_codeview_record(name, data, debug_id, base):
    pe = rr.read_pe(read_bytes(data))
    assert (pe.debug_id, pe.image_base) == (debug_id, base) if debug_id else pe is None


@pytest.mark.parametrize("name, data", [
    ("empty", b""),
    ("not MZ", b"ZM" + pe_file()[2:]),
    ("not PE", pe_file()[:0x80] + b"PX\0\0" + pe_file()[0x84:]),
    ("cut in the headers", pe_file()[:0xA0]),
    ("cut before the record", pe_file()[:0x420]),
])
def test_what_is_no_pe_file_has_no_debug_id(name, data):
    assert rr.read_pe(read_bytes(data)) is None


def test_nm_and_addr2line_answers():
    symbols = rr.parse_nm(
        "0000000317911390 T layrix_main\n"
        "0000000317911370 t (anonymous namespace)::WriteThroughNullPointer(int volatile*)\n"
        "0000000317914000 d some_data\n"
        "0000000317911000 t .text\n")
    assert symbols == [(0x317911370, "(anonymous namespace)::WriteThroughNullPointer(int "
                                     "volatile*)"), (0x317911390, "layrix_main")]
    assert rr.enclosing_symbol(symbols, 0x3179113DD) == (0x317911390, "layrix_main")
    assert rr.enclosing_symbol(symbols, 0x317911370)[0] == 0x317911370
    assert rr.enclosing_symbol(symbols, 0x31791136F) == (None, None)
    lines = rr.parse_addr2line(
        "0x0000000317911370\nWriteThroughNullPointer\n/src/a.cpp:15\n"
        "0x00000003179113dd\nlayrix_main\n/src/a.cpp:34 (discriminator 2)\n"
        "0x0000000317915000\n??\n??:0\n")
    assert lines == {0x317911370: ("WriteThroughNullPointer", "/src/a.cpp:15"),
                     0x3179113DD: ("layrix_main", "/src/a.cpp:34"),
                     0x317915000: (None, None)}


IMAGES = [rr.Image(0x140000000, 0x5D000, "Z:\\v\\tavro-gcodeviewer.exe", "exe-id"),
          rr.Image(0x1E94A0000, 0x40000, "Z:\\v\\orviStudio.dll", "lib-id"),
          rr.Image(0x7B600000, 0x195000, "C:\\windows\\system32\\kernel32.dll")]


def test_frames_are_named_by_debug_file_then_by_the_report_then_by_offset():
    frames = [  # outermost first, as the report lists them
        {"instruction_addr": "0x12345"},
        {"instruction_addr": "0x7b627e49", "function": "BaseThreadInitThunk",
         "symbol_addr": "0x7b627e40"},
        {"instruction_addr": "0x140003aae"},
        {"instruction_addr": "0x1e94a13de", "function": "on the machine"},
        {"instruction_addr": "0x1e94a1370"},
    ]
    asked = []

    def locate(path, pe, addresses):
        asked.append((path, addresses))
        return {0x3179113DD: rr.Location("layrix_main", 0x317911390, "/src/a.cpp:34"),
                0x317911370: rr.Location("WriteThroughNullPointer", 0x317911370, None)}

    debug_files = {"lib-id": ("lib.debug", rr.PeFile("lib-id", 0x317910000))}
    assert rr.frame_lines(frames, IMAGES, debug_files, locate) == [
        "orviStudio.dll!WriteThroughNullPointer+0x0",
        "orviStudio.dll!layrix_main+0x4e (/src/a.cpp:34)",
        "tavro-gcodeviewer.exe+0x3aae",
        "kernel32.dll!BaseThreadInitThunk+0x9",
        "0x12345",
    ]
    # The crashed frame is looked up where it is; a caller's at the call, the byte before.
    assert asked == [("lib.debug", [0x317911370, 0x3179113DD])]


def envelope_bytes(event, session=None, dump=None):
    data = b'{"event_id":"e1"}\n' + item("event", json.dumps(event).encode()) + b"\n"
    if session:
        data += item("session", json.dumps(session).encode()) + b"\n"
    if dump:
        header = {"type": "attachment", "length": len(dump), "attachment_type": "event.minidump"}
        data += json.dumps(header).encode() + b"\n" + dump + b"\n"
    return data


EVENT = {
    "event_id": "e1", "timestamp": "2026-03-04T05:06:07.089Z", "release": "TavroStudio 1.5.27",
    "environment": "production", "tags": {"PID": "908", "computer_name": "PC"},
    "exception": {"values": [{
        "type": "EXCEPTION_ACCESS_VIOLATION_WRITE", "value": "Fatal Error: at 0x1e94a1370",
        "mechanism": {"type": "signalhandler", "handled": False},
        "stacktrace": {"frames": [{"instruction_addr": "0x140003aae"},
                                  {"instruction_addr": "0x1e94a1370"}]}}]},
    "debug_meta": {"images": [
        {"type": "pe", "image_addr": "0x1e94a0000", "image_size": 0x40000,
         "code_file": "Z:\\v\\orviStudio.dll", "debug_id": GUID_TEXT + "-1"},
        {"type": "pe", "image_addr": "0x140000000", "image_size": 0x5D000,
         "code_file": "Z:\\v\\tavro-gcodeviewer.exe"}]},
}


def test_the_report_is_printed_in_its_parts_and_its_minidump_written(tmp_path, capsys):
    report = tmp_path / "r.envelope"
    report.write_bytes(envelope_bytes(EVENT, {"sid": "s1", "status": "crashed", "errors": 1,
                                              "started": "t0", "duration": 1.5,
                                              "attrs": {"release": "R"}}, b"MDMP\x01\n"))
    assert rr.main([str(report), "--minidump", str(tmp_path / "out.dmp")]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("Event e1 at 2026-03-04T05:06:07.089Z: release TavroStudio")
    assert "EXCEPTION_ACCESS_VIOLATION_WRITE: Fatal Error: at 0x1e94a1370" in out
    assert "  mechanism: signalhandler, handled: no" in out
    crashed = out.index("Crashed thread, innermost frame first:")
    assert out[crashed + 1:crashed + 3] == ["    0  orviStudio.dll+0x1370",
                                            "    1  tavro-gcodeviewer.exe+0x3aae"]
    assert any(line.startswith("Session s1: crashed, errors 1") for line in out)
    assert out[out.index("Tags:") + 1:out.index("Tags:") + 3] == ["  PID: 908",
                                                                  "  computer_name: PC"]
    images = out[out.index("Images:") + 1:]
    assert images[0].endswith("Z:\\v\\tavro-gcodeviewer.exe")
    assert images[1].endswith("Z:\\v\\orviStudio.dll  " + GUID_TEXT + "-1")
    assert (tmp_path / "out.dmp").read_bytes() == b"MDMP\x01\n"


@pytest.mark.parametrize("data", [b"not an envelope at all", envelope_bytes(EVENT)[:-40],
                                  b"{}\n" + item("event", b"{not json")])
def test_a_file_that_is_no_report_gets_one_line_and_exit_2(tmp_path, capsys, data):
    report = tmp_path / "r.envelope"
    report.write_bytes(data)
    assert rr.main([str(report)]) == 2
    captured = capsys.readouterr()
    assert captured.out == ""
    assert len(captured.err.splitlines()) == 1 and captured.err.startswith(str(report))


def test_no_minidump_to_write_is_said(tmp_path, capsys):
    report = tmp_path / "r.envelope"
    report.write_bytes(envelope_bytes(EVENT))
    assert rr.main([str(report), "--minidump", str(tmp_path / "out.dmp")]) == 1
    assert "holds no minidump" in capsys.readouterr().err
    assert not (tmp_path / "out.dmp").exists()
