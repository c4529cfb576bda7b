"""Renderer selection end to end: the probe against Wine's OpenGL with and without an X
display and with the versions Mesa can be made to report, the switch to the software library
staged at mesa\\opengl32.dll, the warning path when another module holds the system library,
the probe window's visibility and the graphics-preference exports."""
import re
import shutil
import subprocess
import time

import pytest

from conftest import EXE, STAGE, wine_path
from envelope import report_files

# A load of opengl32.dll by full path gives Wine's builtin unless the native one is preferred;
# the harness's own overrides stay.
SOFTWARE_LIBRARY_ENV = {
    "WINEDLLOVERRIDES": "mscoree,mshtml=;opengl32=n,b",
    "TAVRO_TEST_SHOW_OPENGL": "1",
}
ATTACHED = "test software OpenGL library attached"
LOADED = "MESA OpenGL library was loaded sucessfully"
NOT_LOADED = "MESA OpenGL library was not loaded"
WARNING_CAPTION = "orviMake Studio 3D Warning"
WARNING_TEXT = ("orviMake Studio 3D was unable to automatically switch to MESA OpenGL library\n"
                "Please, try to run the application using the '--sw-renderer' option.\n")


@pytest.fixture
def with_software_library(launcher):
    launcher.add("mesa", "opengl32.dll", "mesa")
    launcher.env.update(SOFTWARE_LIBRARY_ENV)
    return launcher


# The runs with a display come first: switching the prefix between a display and none costs a
# wait for Wine's desktop process to go (see conftest.settle_wine).


def loading_line(folder):
    return f"Loading MESA OpenGL library: {wine_path(folder)}\\mesa\\opengl32.dll"


def switched_lines(folder):
    """A launch that released the system library and runs the application on the software one."""
    return [
        "System OpenGL library successfully released",
        loading_line(folder),
        ATTACHED,
        LOADED,
        f"application sees opengl32.dll at {wine_path(folder / 'mesa' / 'opengl32.dll')}",
        "application received 3 arguments",
    ]


# Mesa under Xvfb reports 4.5 of its own; MESA_GL_VERSION_OVERRIDE makes it report another.
@pytest.mark.parametrize("reported, switched", [
    (None, False),
    ("2.0", False),
    ("1.9", True),
    ("1.4", True),
], ids=["Mesa's own 4.5", "2.0", "1.9", "1.4"])
def test_with_a_display_a_driver_older_than_2_0_is_replaced_by_the_software_library(
        with_software_library, reported, switched):
    launcher = with_software_library
    run = launcher.run("a.gcode", env={"MESA_GL_VERSION_OVERRIDE": reported} if reported else {},
                       timeout=60)

    assert run.code == 0, run.lines
    if switched:
        assert run.lines == switched_lines(launcher.folder)
    else:
        # Not a line: the application binds to the system library the probe left loaded.
        assert run.lines == [
            "application sees opengl32.dll at C:\\windows\\system32\\opengl32.dll",
            "application received 3 arguments",
        ]


class RootWindowWatch:
    """Records what happens to the X server's top-level windows while a run goes on: xev on
    the root window, with a property set on the root before and after as fences, so every
    event of the run is in the log before it is read."""

    def __init__(self, env, log):
        self.env, self.log = env, log
        with open(log, "wb") as out:
            self.process = subprocess.Popen(
                ["xev", "-root", "-event", "substructure", "-event", "property"], env=env,
                stdout=out, stderr=subprocess.STDOUT)
        self.fence("_TAVRO_WATCH_START")

    def fence(self, name):
        deadline = time.monotonic() + 30
        while name not in self.log.read_text(errors="replace"):
            assert time.monotonic() < deadline, f"xev never saw {name}"
            subprocess.run(["xprop", "-root", "-f", name, "8s", "-set", name, "1"], env=self.env,
                           check=True)
            time.sleep(0.1)

    def stop(self):
        self.fence("_TAVRO_WATCH_END")
        self.process.terminate()
        self.process.wait()
        text = self.log.read_text(errors="replace")
        return text[text.index("_TAVRO_WATCH_START"):text.index("_TAVRO_WATCH_END")]


def test_probe_window_is_never_mapped(launcher, tmp_path):
    for tool in ("xev", "xprop"):
        if shutil.which(tool) is None:
            pytest.fail(f"{tool} is missing (package x11-utils)")
    env = {"PATH": "/usr/bin:/bin", **launcher.x_display.env}
    watch = RootWindowWatch(env, tmp_path / "xev.txt")
    try:
        run = launcher.run("a.gcode", timeout=60)
    finally:
        events = watch.stop()
    assert run.code == 0, run.lines

    # Wine makes an X window for the probe window at its Windows size; mapping it is what
    # would put it on screen.
    probe_windows = re.findall(r"CreateNotify event.*\n.*window (0x[0-9a-f]+), \(0,0\), "
                               r"width 640, height 480", events)
    assert len(probe_windows) == 1, events
    mapped = re.findall(r"MapNotify event.*\n\s*event 0x[0-9a-f]+, window (0x[0-9a-f]+)", events)
    assert probe_windows[0] not in mapped


def test_without_a_display_the_probe_gets_no_version_and_the_software_library_takes_over(
        with_software_library):
    launcher = with_software_library
    # Wine's builtin opengl32 loads but makes no context; nothing else keeps it once the
    # probe's reference is released.
    run = launcher.run("a.gcode", display=False)

    assert run.code == 0, run.lines
    assert run.lines == switched_lines(launcher.folder)
    argc, argv = launcher.received()
    assert argv[1:] == ["--gcodeviewer", "a.gcode"]


def test_a_system_library_another_module_holds_ends_the_launch_at_the_warning(
        with_software_library, tmp_path):
    launcher = with_software_library
    # The telemetry plugin is loaded before the renderer decision; this one loads opengl32.dll
    # itself and keeps it.
    launcher.add("plugin", "TavroPlugin.dll")
    plugin_log = tmp_path / "plugin-calls.txt"
    launcher.env.update({"TAVRO_TEST_PLUGIN_HOLD_OPENGL": "1",
                         "TAVRO_TEST_PLUGIN_LOG": wine_path(plugin_log)})
    trace = tmp_path / "relay.txt"
    # Without a display the warning box returns at once.
    run = launcher.run("a.gcode", display=False, env={"WINEDEBUG": "+relay"},
                       stderr_file=trace)

    assert "holds opengl32.dll" in plugin_log.read_text().splitlines()
    assert run.code == 255, run.lines
    assert run.lines == ["load plubgin success", "System OpenGL library released but not removed"]
    assert launcher.received() is None
    # The crash reporter is left running on this path (tests/e2e/test_crash_calls.py); the
    # process still ends without a report.
    dump = launcher.folder / "dump"
    assert dump.is_dir() and report_files(dump) == []
    box_calls = [line for line in trace.read_bytes().decode("utf-8", "replace").splitlines()
                 if "Call user32.MessageBoxW(" in line]
    assert len(box_calls) == 1, box_calls
    text = WARNING_TEXT.replace("\n", "\\n")
    assert re.search(rf'MessageBoxW\(0+,[0-9a-f]+ L"{re.escape(text)}",'
                     rf'[0-9a-f]+ L"{re.escape(WARNING_CAPTION)}",0+\)', box_calls[0]), box_calls[0]


@pytest.mark.parametrize("switches", [["--sw-renderer"], ["--no-sw-renderer", "--sw-renderer"]])
def test_sw_renderer_loads_the_software_library_without_probing(with_software_library, switches):
    launcher = with_software_library
    # Without a display a probe would end in the warning path, so none may have run.
    run = launcher.run(*switches, "a.gcode", display=False)

    assert run.code == 0, run.lines
    assert run.lines == [
        loading_line(launcher.folder),
        ATTACHED,
        LOADED,
        f"application sees opengl32.dll at {wine_path(launcher.folder / 'mesa' / 'opengl32.dll')}",
        f"application received {len(switches) + 3} arguments",
    ]
    argc, argv = launcher.received()
    assert argv[1:] == ["--gcodeviewer", *switches, "a.gcode"]


def test_missing_mesa_folder_is_reported_and_the_application_still_runs(launcher):
    launcher.env.update(SOFTWARE_LIBRARY_ENV)
    run = launcher.run("--sw-renderer", display=False)

    assert run.code == 0, run.lines
    assert run.lines == [
        loading_line(launcher.folder),
        NOT_LOADED,
        "application sees no opengl32.dll",
        "application received 3 arguments",
    ]


def deep_folder(root):
    folder = root
    while len(str(folder)) < 300:
        folder = folder / "a-long-folder-name-for-the-viewer"
    return folder / "viewer"


@pytest.mark.parametrize("folder", [
    deep_folder,
    lambda root: root / "Müller – Schale ø3 印刷",
], ids=["deeper than MAX_PATH", "not ASCII"])
def test_software_library_is_found_and_named_whatever_the_launcher_folder(stage, tmp_path,
                                                                         folder):
    launcher = stage(folder=folder(tmp_path))
    launcher.add("mesa", "opengl32.dll", "mesa")
    launcher.env.update(SOFTWARE_LIBRARY_ENV)
    run = launcher.run("--sw-renderer", display=False)

    assert run.code == 0, run.lines
    assert run.lines[:3] == [loading_line(launcher.folder), ATTACHED, LOADED]


def test_exe_exports_both_graphics_preference_values_as_writable_data():
    objdump = shutil.which("x86_64-w64-mingw32-objdump")
    assert objdump, "x86_64-w64-mingw32-objdump is missing"
    exe = str(STAGE / EXE)
    headers = subprocess.run([objdump, "-p", exe], capture_output=True, text=True,
                             check=True).stdout
    sections = subprocess.run([objdump, "-h", exe], capture_output=True, text=True,
                              check=True).stdout
    image_base = int(re.search(r"^ImageBase\s+([0-9a-f]+)", headers, re.MULTILINE).group(1), 16)
    addresses = dict(re.findall(r"^\s*\[\s*(\d+)\] \+base\[\s*\d+\] +([0-9a-f]+) Export RVA",
                                headers, re.MULTILINE))
    names = dict((name, index) for index, name in
                 re.findall(r"^\s*\[\s*(\d+)\] (\S+)$",
                            headers[headers.index("[Ordinal/Name Pointer] Table"):],
                            re.MULTILINE))

    for export in ("NvOptimusEnablement", "AmdPowerXpressRequestHighPerformance"):
        assert export in names, f"{export} is not exported by name"
        address = image_base + int(addresses[names[export]], 16)
        section = next(m for m in re.finditer(
            r"^\s*\d+ (\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+\S+\s+\S+\s+\S+\n\s+(.*)$",
            sections, re.MULTILINE)
            if int(m.group(3), 16) <= address < int(m.group(3), 16) + int(m.group(2), 16))
        flags = section.group(4)
        assert "DATA" in flags and "READONLY" not in flags, (export, section.group(1), flags)
        dump = subprocess.run([objdump, "-s", f"--start-address={address:#x}",
                               f"--stop-address={address + 4:#x}", exe], capture_output=True,
                              text=True, check=True).stdout
        assert re.search(rf"^ {address:x} 01000000\b", dump, re.MULTILINE), (export, dump)
