#!/usr/bin/env python3
"""Reads a crash report (an envelope of the dump folder) without the crash reporting service.

  python3 scripts/read-report.py REPORT.envelope [--symbols DIR]... [--minidump OUT.dmp]

Prints the exception, the crashed thread's frames innermost first, the session, the tags and
the loaded images. A frame reads module!function+0xoffset (file:line) where a debug file found
under a DIR (any file whose CodeView record has the image's debug id, whatever its name: the
symbols archive unpacked, a build folder) tells, module!function+0xoffset where the report was
symbolised on the machine, and module+0xoffset otherwise. Names and lines come from binutils'
x86_64-w64-mingw32-addr2line and -nm (scripts/install-deps.sh installs them). --minidump writes
the report's minidump out, for breakpad's minidump_stackwalk.

A file that is not an envelope, or is cut short, gets one line on standard error and exit
code 2."""
import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
from bisect import bisect_right
from dataclasses import dataclass, field
from pathlib import Path, PureWindowsPath

ADDR2LINE = "x86_64-w64-mingw32-addr2line"
NM = "x86_64-w64-mingw32-nm"


class ReportError(Exception):
    """What makes a file unreadable as a report: said in one line."""


# --- the envelope ---------------------------------------------------------------------------

@dataclass
class Envelope:
    header: dict
    items: list = field(default_factory=list)  # (item header, payload bytes)

    def first(self, kind):
        for header, payload in self.items:
            if header.get("type") == kind:
                return header, payload
        return None


def json_line(data, what):
    try:
        value = json.loads(data)
    except (ValueError, UnicodeDecodeError):
        raise ReportError(f"{what} is not JSON") from None
    if not isinstance(value, dict):
        raise ReportError(f"{what} is not a JSON object")
    return value


def parse_envelope(data):
    """A header line, then items: a header line each, then exactly `length` bytes (or, without
    a length, up to the next line feed), each followed by a line feed, the last one's optional."""
    end = data.find(b"\n")
    if end < 0:
        raise ReportError("not an envelope: no header line")
    envelope = Envelope(json_line(data[:end], "not an envelope: the header line"))
    pos = end + 1
    while pos < len(data):
        end = data.find(b"\n", pos)
        if end < 0:
            raise ReportError(f"cut short: item {len(envelope.items) + 1} has no whole header")
        item = json_line(data[pos:end], f"item {len(envelope.items) + 1}'s header")
        if not isinstance(item.get("type"), str):
            raise ReportError(f"item {len(envelope.items) + 1} has no type")
        pos = end + 1
        length = item.get("length")
        if length is None:
            end = data.find(b"\n", pos)
            end = len(data) if end < 0 else end
        elif not isinstance(length, int) or length < 0:
            raise ReportError(f"item {len(envelope.items) + 1} has a bad length")
        elif pos + length > len(data):
            raise ReportError(f"cut short: the {item['type']} item needs {length} bytes, "
                              f"{len(data) - pos} are left")
        else:
            end = pos + length
        envelope.items.append((item, data[pos:end]))
        pos = end
        if pos < len(data):
            if data[pos:pos + 1] != b"\n":
                raise ReportError(f"not an envelope: no line feed after the {item['type']} item")
            pos += 1
    if not envelope.items:
        raise ReportError("not an envelope: no items")
    return envelope


# --- debug ids of files on disk ---------------------------------------------------------------

def debug_id_text(guid, age):
    """The GUID's first three fields as little-endian numbers, the rest in byte order, and the
    age in hexadecimal: as the service writes a PE debug id."""
    d1, d2, d3 = struct.unpack_from("<IHH", guid)
    rest = guid[8:].hex()
    return f"{d1:08x}-{d2:04x}-{d3:04x}-{rest[:4]}-{rest[4:]}-{age:x}"


@dataclass
class PeFile:
    debug_id: str
    image_base: int


def read_pe(read):
    """The debug id and image base of a PE file laid out on disk (read(offset, size) gives its
    bytes, fewer at the end), or None when it is no PE file or has no CodeView record."""
    def unpack(fmt, offset):
        size = struct.calcsize(fmt)
        data = read(offset, size)
        if len(data) != size:
            raise ValueError
        return struct.unpack(fmt, data)

    try:
        if read(0, 2) != b"MZ":
            return None
        (nt_at,) = unpack("<I", 0x3C)
        if read(nt_at, 4) != b"PE\0\0":
            return None
        sections_count, = unpack("<H", nt_at + 6)
        optional_size, = unpack("<H", nt_at + 20)
        optional_at = nt_at + 24
        magic, = unpack("<H", optional_at)
        if magic == 0x20B:
            image_base, = unpack("<Q", optional_at + 24)
            count_at, directories_at = optional_at + 108, optional_at + 112
        elif magic == 0x10B:
            image_base, = unpack("<I", optional_at + 28)
            count_at, directories_at = optional_at + 92, optional_at + 96
        else:
            return None
        count, = unpack("<I", count_at)
        if count <= 6:
            return None
        directory_rva, directory_size = unpack("<II", directories_at + 8 * 6)
        sections = [unpack("<IIII", optional_at + optional_size + 40 * i + 8)
                    for i in range(min(sections_count, 96))]

        def file_offset(rva):
            for virtual_size, address, raw_size, raw_at in sections:
                if address <= rva < address + max(virtual_size, raw_size) and raw_at:
                    return raw_at + rva - address
            return None

        directory_at = file_offset(directory_rva)
        if directory_at is None:
            return None
        for i in range(min(directory_size // 28, 32)):
            kind, size, rva, raw_at = unpack("<IIII", directory_at + 28 * i + 12)
            if kind != 2 or size < 24:
                continue
            at = raw_at or file_offset(rva)
            record = read(at, 24) if at else b""
            if len(record) == 24 and record[:4] == b"RSDS":
                return PeFile(debug_id_text(record[4:20], struct.unpack_from("<I", record, 20)[0]),
                              image_base)
    except (ValueError, struct.error):
        return None
    return None


def read_pe_file(path):
    try:
        with open(path, "rb") as f:
            def read(offset, size):
                f.seek(offset)
                return f.read(size)
            return read_pe(read)
    except OSError:
        return None


def find_debug_files(folders):
    """{debug id: (path, PeFile)} of every PE file under the folders; the first found wins, a
    file with DWARF in it (a .debug file, an unstripped image) before one without."""
    found = {}
    for folder in folders:
        for root, _, names in os.walk(folder):
            for name in sorted(names):
                path = Path(root) / name
                pe = read_pe_file(path)
                if pe is None:
                    continue
                known = found.get(pe.debug_id)
                if known is None or (not has_dwarf(known[0]) and has_dwarf(path)):
                    found[pe.debug_id] = (path, pe)
    return found


def has_dwarf(path):
    try:
        out = subprocess.run(["x86_64-w64-mingw32-objdump", "-h", str(path)],
                             capture_output=True, text=True, check=False).stdout
    except OSError:
        return False
    return ".debug_info" in out


# --- names and lines from a debug file --------------------------------------------------------

@dataclass
class Location:
    function: str = None
    start: int = None  # the function's first address, as the debug file has it
    file_line: str = None


class DebugFile:
    """Functions and lines of one debug file, through binutils."""

    def __init__(self, path, pe):
        self.path, self.pe = path, pe
        self._symbols = None

    def symbols(self):
        if self._symbols is None:
            self._symbols = []
            if shutil.which(NM):
                out = subprocess.run([NM, "-C", "--defined-only", str(self.path)],
                                     capture_output=True, text=True, check=False).stdout
                self._symbols = parse_nm(out)
        return self._symbols

    def locate(self, addresses):
        """{address: Location} for addresses of the debug file's own layout."""
        starts = self.symbols()
        lines = {}
        if shutil.which(ADDR2LINE) and addresses:
            out = subprocess.run([ADDR2LINE, "-f", "-C", "-a", "-e", str(self.path),
                                  *(hex(a) for a in addresses)],
                                 capture_output=True, text=True, check=False).stdout
            lines = parse_addr2line(out)
        located = {}
        for address in addresses:
            function, file_line = lines.get(address, (None, None))
            start, symbol = enclosing_symbol(starts, address)
            located[address] = Location(function or symbol, start, file_line)
        return located


def parse_nm(text):
    """Sorted (address, name) of the code symbols nm lists."""
    symbols = []
    for line in text.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] in ("T", "t") and not parts[2].startswith("."):
            try:
                symbols.append((int(parts[0], 16), parts[2]))
            except ValueError:
                continue
    return sorted(symbols)


def enclosing_symbol(symbols, address):
    """The code symbol at or before the address: (start, name), or (None, None)."""
    i = bisect_right(symbols, (address, "\uffff"))
    return symbols[i - 1] if i > 0 else (None, None)


def parse_addr2line(text):
    """{address: (function or None, "file:line" or None)} from addr2line -f -a output."""
    found = {}
    lines = text.splitlines()
    for i in range(0, len(lines) - 2, 3):
        try:
            address = int(lines[i], 16)
        except ValueError:
            continue
        function = lines[i + 1] if lines[i + 1] != "??" else None
        file_line = lines[i + 2]
        if file_line.startswith("??") or file_line.endswith(":0"):
            file_line = None
        else:
            file_line = file_line.split(" (discriminator", 1)[0]
        found[address] = (function, file_line)
    return found


# --- the report -----------------------------------------------------------------------------

def number(value):
    if isinstance(value, int):
        return value
    try:
        return int(str(value), 0)
    except ValueError:
        return None


def module_name(path):
    return PureWindowsPath(path).name if path else "?"


@dataclass
class Image:
    base: int
    size: int
    code_file: str
    debug_id: str = None


def images_of(event):
    images = []
    for entry in (event.get("debug_meta") or {}).get("images") or []:
        base, size = number(entry.get("image_addr")), number(entry.get("image_size"))
        if base is not None and size is not None:
            images.append(Image(base, size, entry.get("code_file"), entry.get("debug_id")))
    return images


def image_at(images, address):
    for image in images:
        if image.base <= address < image.base + image.size:
            return image
    return None


def locate_in_debug_file(path, pe, addresses):
    return DebugFile(path, pe).locate(addresses)


def frame_lines(frames, images, debug_files, locate=locate_in_debug_file):
    """The crashed thread's frames, innermost first, one text each. locate(path, pe,
    addresses) gives {address: Location} for addresses of a debug file's own layout."""
    frames = list(reversed(frames))  # the report lists them outermost first
    # What to ask each debug file: a caller's frame holds a return address, whose call is the
    # byte before it.
    wanted = {}
    for index, frame in enumerate(frames):
        address = number(frame.get("instruction_addr"))
        image = image_at(images, address) if address is not None else None
        if image is None or image.debug_id not in debug_files:
            continue
        _, pe = debug_files[image.debug_id]
        looked_up = pe.image_base + address - image.base - (1 if index > 0 else 0)
        wanted.setdefault(image.debug_id, {})[index] = looked_up
    located = {}
    for debug_id, asked in wanted.items():
        path, pe = debug_files[debug_id]
        found = locate(path, pe, sorted(set(asked.values())))
        for index, address in asked.items():
            located[index] = (found[address], pe)

    texts = []
    for index, frame in enumerate(frames):
        address = number(frame.get("instruction_addr"))
        texts.append(frame_text(frame, address, images, located.get(index)))
    return texts


def frame_text(frame, address, images, located):
    if address is None:
        return "?"
    image = image_at(images, address)
    base = image.base if image else number(frame.get("image_addr"))
    module = module_name(image.code_file if image else frame.get("package"))
    if base is None:
        return hex(address)
    if located is not None:
        location, pe = located
        if location.function:
            own = pe.image_base + address - base
            text = f"{module}!{location.function}"
            if location.start is not None and location.start <= own:
                text += f"+{own - location.start:#x}"
            if location.file_line:
                text += f" ({location.file_line})"
            return text
    function, symbol = frame.get("function"), number(frame.get("symbol_addr"))
    if function:
        return f"{module}!{function}" + (f"+{address - symbol:#x}" if symbol is not None
                                          and symbol <= address else "")
    return f"{module}+{address - base:#x}"


def describe(envelope, debug_files):
    """The report as the lines to print."""
    out = []
    event_item = envelope.first("event")
    session_item = envelope.first("session")
    event = json_line(event_item[1], "the event") if event_item else None
    if event is None:
        out.append("No event in this envelope.")
    else:
        out.append(f"Event {event.get('event_id', '?')} at {event.get('timestamp', '?')}: "
                   f"release {event.get('release', '-')}, environment "
                   f"{event.get('environment', '-')}")
        for exception in (event.get("exception") or {}).get("values") or []:
            mechanism = exception.get("mechanism") or {}
            handled = {True: "yes", False: "no"}.get(mechanism.get("handled"), "?")
            out.append("")
            out.append(f"{exception.get('type', '?')}: {exception.get('value', '')}")
            out.append(f"  mechanism: {mechanism.get('type', '?')}, handled: {handled}")
            frames = (exception.get("stacktrace") or {}).get("frames") or []
            out.append("")
            out.append("Crashed thread, innermost frame first:")
            images = images_of(event)
            for i, text in enumerate(frame_lines(frames, images, debug_files)):
                out.append(f"  {i:3}  {text}")
    if session_item:
        session = json_line(session_item[1], "the session")
        attrs = session.get("attrs") or {}
        out.append("")
        out.append(f"Session {session.get('sid', '?')}: {session.get('status', '?')}, errors "
                   f"{session.get('errors', '?')}, started {session.get('started', '?')}, "
                   f"duration {session.get('duration', '?')} s, release "
                   f"{attrs.get('release', '-')}, environment {attrs.get('environment', '-')}")
    if event is not None:
        out.append("")
        out.append("Tags:")
        for key, value in sorted((event.get("tags") or {}).items()):
            out.append(f"  {key}: {value}")
        out.append("")
        out.append("Images:")
        for image in sorted(images_of(event), key=lambda i: i.base):
            line = f"  {image.base:#018x} {image.size:>10}  {image.code_file}"
            if image.debug_id:
                line += f"  {image.debug_id}"
                if image.debug_id in debug_files:
                    line += f"  ({debug_files[image.debug_id][0]})"
            out.append(line)
    return out


def minidump_of(envelope):
    for header, payload in envelope.items:
        if header.get("type") == "attachment" and \
                header.get("attachment_type") == "event.minidump":
            return payload
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Reads a crash report without the crash reporting service.")
    parser.add_argument("report", type=Path)
    parser.add_argument("--symbols", type=Path, action="append", default=[], metavar="DIR",
                        help="a folder to look for debug files in (any depth); repeatable")
    parser.add_argument("--minidump", type=Path, metavar="OUT.dmp",
                        help="write the report's minidump to this file")
    args = parser.parse_args(argv)
    try:
        data = args.report.read_bytes()
    except OSError as error:
        print(f"{args.report}: {error.strerror}", file=sys.stderr)
        return 2
    try:
        envelope = parse_envelope(data)
        lines = describe(envelope, find_debug_files(args.symbols))
    except ReportError as error:
        print(f"{args.report}: {error}", file=sys.stderr)
        return 2
    print("\n".join(lines))
    if args.minidump:
        dump = minidump_of(envelope)
        if dump is None:
            print(f"{args.report}: the report holds no minidump", file=sys.stderr)
            return 1
        args.minidump.write_bytes(dump)
    return 0


if __name__ == "__main__":
    sys.exit(main())
