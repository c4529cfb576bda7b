"""Bad input never breaks the launch: whatever the command line holds, however the launcher is
started, and whatever sits beside it under the names it loads, it reaches the application or
ends with its own line and exit code, and never hangs (each run has a time limit)."""
import shutil
from pathlib import Path
from dataclasses import dataclass, field
from typing import Optional

import pytest

from conftest import EXE, FIXTURES, WINEPREFIX, local_app_data, wine_path

TIME_LIMIT = 240
START_PROCESS = FIXTURES / "start-process" / "start_process.exe"
# A load of opengl32.dll by full path gives Wine's builtin unless the native one is preferred.
NATIVE_OPENGL = {"WINEDLLOVERRIDES": "mscoree,mshtml=;opengl32=n,b"}


def app(count):
    return f"application received {count} arguments"


def not_loaded(error):
    return f"orviStudio.dll was not loaded, error: {error}"


def zero_bytes(name, subfolder=""):
    def put(launcher):
        (launcher.folder / subfolder).mkdir(parents=True, exist_ok=True)
        (launcher.folder / subfolder / name).write_bytes(b"")
    return put


def text_file(name):
    def put(launcher):
        (launcher.folder / name).write_text("MZ? no, just a note left here by someone\r\n")
    return put


def folder(name):
    def put(launcher):
        (launcher.folder / name).mkdir()
    return put


def fixture(source, name, subfolder=""):
    def put(launcher):
        launcher.add(source, name, subfolder)
    return put


def renamed(name):
    def put(launcher):
        shutil.copy2(launcher.folder / EXE, launcher.folder / name)
    return put


def settings(**values):
    def put(launcher):
        launcher.env.update(values)
    return put


@dataclass
class Case:
    name: str
    lines: list
    code: int = 0
    args: tuple = ("a.gcode",)
    # The user arguments the application must receive after "--gcodeviewer"; None when the
    # application must not run.
    received: Optional[list] = None
    app: Optional[str] = "app"
    put: list = field(default_factory=list)
    # Options of Launcher.run: program (the path Wine is given, relative to cwd), cwd ("."
    # for the launcher folder's parent, or a folder name made there), through the starter.
    program: Optional[str] = None
    cwd: Optional[str] = None
    through: bool = False
    # The UTF-16 units of each user argument, for what the UTF-8 record cannot show.
    units: Optional[list] = None
    # The launcher may write lines of its own around the expected ones, in this order.

    def __str__(self):
        return self.name


QUOTES_AND_BACKSLASHES = ['a"b', "back\\slash\\", "\\\\server\\share\\x.gcode",
                          "C:\\dir with space\\", '"', "", "  two  spaces  ", '\\"', '\\\\"x"',
                          "\\\\"]
LONG_ARGUMENT = "x" * 30000
# Short ones: a command line longer than 32767 characters is refused before any program starts.
MANY_ARGUMENTS = [f"f{i}" for i in range(3000)]

CASES = [
    # The command line.
    Case("argument of 30000 characters", [app(3)], args=(LONG_ARGUMENT,), received=[LONG_ARGUMENT]),
    Case("3000 arguments", [app(3002)], args=tuple(MANY_ARGUMENTS), received=MANY_ARGUMENTS),
    Case("lone surrogates through CreateProcessW", [app(4), "exit code: 0"],
         args=("a\\uD800b.gcode \\uDFFF",), through=True,
         received=["a\ufffdb.gcode", "\ufffd"],
         units=[["0061", "D800", "0062", "002E", "0067", "0063", "006F", "0064", "0065"],
                ["DFFF"]]),
    Case("quote and backslash forms from the Unix side", [app(2 + len(QUOTES_AND_BACKSLASHES))],
         args=tuple(QUOTES_AND_BACKSLASHES), received=QUOTES_AND_BACKSLASHES),
    Case("quote and backslash forms as written", [app(7), "exit code: 0"],
         args=(r'"a b" c\d "e\"f" g\\"h i" j\\\"k',), through=True,
         received=["a b", "c\\d", 'e"f', "g\\h i", 'j\\"k']),
    # How the launcher is started.
    Case("through a relative path", [app(3)], program=f"viewer/{EXE}", cwd=".",
         received=["a.gcode"]),
    Case("from another working directory", [app(3)], cwd="elsewhere", received=["a.gcode"]),
    Case("through a relative path from another working directory", [app(3)],
         program=f"../viewer/{EXE}", cwd="elsewhere", received=["a.gcode"]),
    Case("under another file name", [app(3)], put=[renamed("g-code viewer.exe")],
         program="viewer/g-code viewer.exe", cwd=".", received=["a.gcode"]),
    # The application library.
    Case("application library of zero bytes", [not_loaded(193)], 255, app=None,
         put=[zero_bytes("orviStudio.dll")]),
    Case("application library that is text", [not_loaded(193)], 255, app=None,
         put=[text_file("orviStudio.dll")]),
    Case("32-bit application library", [not_loaded(193)], 255, app="app-x86"),
    Case("folder named orviStudio.dll", [not_loaded(5)], 255, app=None,
         put=[folder("orviStudio.dll")]),
    Case("application library whose DllMain fails", [not_loaded(1114)], 255,
         put=[settings(TAVRO_TEST_APP_ATTACH="fail")]),
    Case("layrix_main returning -1", [app(3), "exit code: -1"], through=True,
         put=[settings(TAVRO_TEST_EXIT_CODE="-1")], received=["a.gcode"]),
    Case("layrix_main returning INT_MIN", [app(3), "exit code: -2147483648"], through=True,
         put=[settings(TAVRO_TEST_EXIT_CODE="-2147483648")], received=["a.gcode"]),
    # The telemetry plugin.
    Case("plugin of zero bytes", [app(3)], put=[zero_bytes("TavroPlugin.dll")],
         received=["a.gcode"]),
    Case("folder named TavroPlugin.dll", [app(3)], put=[folder("TavroPlugin.dll")],
         received=["a.gcode"]),
    Case("plugin whose DllMain fails", [app(3)],
         put=[fixture("plugin", "TavroPlugin.dll"), settings(TAVRO_TEST_PLUGIN_ATTACH="fail")],
         received=["a.gcode"]),
    Case("plugin writing a megabyte as the endpoint", ["load plubgin success", app(3)],
         put=[fixture("plugin", "TavroPlugin.dll"),
              settings(TAVRO_TEST_PLUGIN_DSN_SIZE=str(1 << 20))],
         received=["a.gcode"]),
    # The software OpenGL library.
    Case("software OpenGL library of zero bytes",
         ["Loading MESA OpenGL library: {folder}\\mesa\\opengl32.dll",
          "MESA OpenGL library was not loaded", app(4)],
         args=("--sw-renderer", "a.gcode"), received=["--sw-renderer", "a.gcode"],
         put=[zero_bytes("opengl32.dll", "mesa"), settings(**NATIVE_OPENGL)]),
    Case("software OpenGL library without OpenGL exports",
         ["Loading MESA OpenGL library: {folder}\\mesa\\opengl32.dll",
          "MESA OpenGL library was loaded sucessfully", app(4)],
         args=("--sw-renderer", "a.gcode"), received=["--sw-renderer", "a.gcode"],
         put=[fixture("absent", "opengl32.dll", "mesa"), settings(**NATIVE_OPENGL)]),
    # The crash reporter's folder.
    Case('"dump" beside the launcher is a file',
         ["crash reports are kept in {local_dump}", app(3)], put=[zero_bytes("dump")],
         received=["a.gcode"]),
]


def per_user_dump():
    """The Windows name of the per-user crash-report folder, as the launcher reads it."""
    local = local_app_data().relative_to(Path(WINEPREFIX) / "drive_c")
    return "C:\\" + "\\".join((*local.parts, "TavroStudio", "dump"))


@pytest.mark.parametrize("case", CASES, ids=str)
def test_bad_input_reaches_the_application_or_ends_with_its_line(stage, tmp_path, case):
    launcher = stage(app=case.app)
    for put in case.put:
        put(launcher)
    units = tmp_path / "units.txt"
    launcher.env["TAVRO_TEST_RECORD_UNITS"] = wine_path(units)
    cwd = None
    if case.cwd is not None:
        cwd = tmp_path / case.cwd
        cwd.mkdir(exist_ok=True)

    run = launcher.run(*case.args, program=case.program, cwd=cwd, timeout=TIME_LIMIT,
                       through=START_PROCESS if case.through else None)

    expected = [line.replace("{folder}", wine_path(launcher.folder))
                .replace("{local_dump}", per_user_dump())
                for line in case.lines]
    seen = (run.code, run.lines, run.stderr[-2000:])
    assert run.lines == expected, seen
    assert run.code == case.code, seen
    received = launcher.received()
    if case.received is None:
        assert received is None, "the application must not have run"
        return
    assert received is not None, "the application never ran"
    argc, argv = received
    assert argc == len(case.received) + 2
    assert argv[1:] == ["--gcodeviewer", *case.received]
    if case.units is not None:
        recorded = [line.split() for line in units.read_text().splitlines()]
        assert recorded[2:] == case.units
