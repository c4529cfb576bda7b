"""The lite reporter's envelope against the crash reporting SDK's own, for the same crash of the
application: every field of the event and the session that the SDK writes (of those a
developer reads a crash by) is in the lite reporter's too. The SDK is the install that
LAUNCHER_SENTRY_SDK_PREFIX names (built with its inproc backend); without one the comparison is
skipped."""
import os
import subprocess

from conftest import WINEPREFIX, put_sentry_sdk, sentry_sdk_bin
from envelope import image_of, only_envelope, parse

ACCESS_VIOLATION = 0xC0000005

# Paths into the event: a key, or [] for every element of a list.
EVENT_FIELDS = [
    ("event_id",), ("timestamp",), ("level",), ("platform",), ("release",), ("environment",),
    ("tags", "PID"), ("tags", "computer_name"), ("tags", "mac_address"),
    ("sdk", "name"), ("sdk", "version"), ("user", "id"), ("contexts", "os", "name"),
    ("exception", "values", 0, "type"), ("exception", "values", 0, "value"),
    ("exception", "values", 0, "mechanism", "type"),
    ("exception", "values", 0, "mechanism", "handled"),
    ("exception", "values", 0, "mechanism", "meta", "signal", "name"),
    ("exception", "values", 0, "mechanism", "meta", "signal", "number"),
    ("exception", "values", 0, "stacktrace", "frames", [], "instruction_addr"),
    ("exception", "values", 0, "stacktrace", "registers", "rip"),
    ("debug_meta", "images", [], "type"), ("debug_meta", "images", [], "code_file"),
    ("debug_meta", "images", [], "image_addr"), ("debug_meta", "images", [], "image_size"),
    ("debug_meta", "images", [], "code_id"),
]


def has(value, path):
    if not path:
        return True
    key, rest = path[0], path[1:]
    if key == []:
        return isinstance(value, list) and bool(value) and all(has(v, rest) for v in value)
    if isinstance(key, int):
        return isinstance(value, list) and len(value) > key and has(value[key], rest)
    return isinstance(value, dict) and key in value and has(value[key], rest)


def crash_with(stage, folder, sdk_bin):
    launcher = stage(folder=folder, app="app-crashing")
    if sdk_bin is None:
        run = launcher.run("a.gcode", env={"TAVRO_TEST_CRASH": "null-write"}, timeout=180)
        assert run.code == ACCESS_VIOLATION & 0xFF, run.lines
        return launcher.folder / "dump"
    put_sentry_sdk(sdk_bin, launcher.folder)
    # Under Wine the SDK's process does not end after it has written its report: it is ended
    # once the report is there.
    try:
        launcher.run("a.gcode", env={"TAVRO_TEST_CRASH": "null-write"}, timeout=60)
    except subprocess.TimeoutExpired:
        subprocess.run(["wineserver", "-k"], env={**os.environ, "WINEPREFIX": str(WINEPREFIX)},
                       timeout=60, check=False)
    return launcher.folder / "dump"


def test_the_lite_envelope_holds_every_field_the_sdk_writes(stage, tmp_path):
    sdk_bin = sentry_sdk_bin()
    sdk_files = list(crash_with(stage, tmp_path / "sdk", sdk_bin).glob("*.run/*.envelope"))
    assert len(sdk_files) == 1, sdk_files
    sdk = parse(sdk_files[0].read_bytes())
    lite = only_envelope(crash_with(stage, tmp_path / "lite", None))

    for envelope in (sdk, lite):
        assert envelope.header["event_id"] == envelope.event["event_id"]
    sdk_event, lite_event = sdk.event, lite.event
    missing = [path for path in EVENT_FIELDS if has(sdk_event, path) and not has(lite_event, path)]
    assert missing == []
    assert set(sdk.session) <= set(lite.session), set(sdk.session) - set(lite.session)
    assert sdk.session["status"] == lite.session["status"] == "crashed"
    for event in (sdk_event, lite_event):
        value = event["exception"]["values"][0]
        assert value["type"].startswith("EXCEPTION_ACCESS_VIOLATION")
        assert value["mechanism"]["meta"]["signal"]["number"] == ACCESS_VIOLATION
        crashed = int(value["stacktrace"]["frames"][-1]["instruction_addr"], 16)
        assert image_of(event, crashed).endswith("\\orviStudio.dll")
    # Both read the images off the loader; the SDK has loaded its network libraries besides.
    names = lambda event: {i["code_file"].rsplit("\\", 1)[-1].lower()
                           for i in event["debug_meta"]["images"]}
    assert names(lite_event) <= names(sdk_event) | {"dbghelp.dll"}
