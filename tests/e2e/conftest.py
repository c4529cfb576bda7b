"""End-to-end harness: stages a launcher folder, runs tavro-gcodeviewer.exe under Wine,
and hands the test its exit code and standard output lines.

Runs have an X display by default (one Xvfb server for the session), as on a desktop: the
launcher probes OpenGL before the hand-off, and without a display Wine gives it no version,
which sends it down the software-renderer path. A test asks for display=False to see that
path; the warning box of a switch that fails returns at once only when there is no display."""
import os
import shutil
import signal
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

STAGE = Path(os.environ.get("LAUNCHER_STAGE", "build/windows-mingw/stage"))
FIXTURES = Path(os.environ.get("LAUNCHER_FIXTURES", "build/windows-mingw/fixtures"))
WINE_RUN = os.environ.get("LAUNCHER_WINE_RUN", "cmake/wine-run.sh")
WINEPREFIX = os.environ.get("LAUNCHER_WINEPREFIX", "build/windows-mingw/wineprefix")
EXE = "tavro-gcodeviewer.exe"


class XDisplay:
    """One Xvfb server for the whole session, started through xvfb-run."""

    def __init__(self, folder):
        xvfb_run = shutil.which("xvfb-run")
        if xvfb_run is None:
            pytest.fail("xvfb-run is missing (package xvfb)")
        ready = folder / "display"
        # The command publishes what xvfb-run set up for it, then waits to be ended; ending it
        # lets xvfb-run stop the server and remove its authority file.
        script = ('printf "%s\\n%s\\n%s\\n" "$$" "$DISPLAY" "$XAUTHORITY" > "$1.part"'
                  ' && mv "$1.part" "$1" && exec sleep 86400')
        # -noreset: Wine's processes come and go, and the server need not start over each time
        # the last of them leaves.
        self.process = subprocess.Popen(
            [xvfb_run, "-a", "-s", "-screen 0 1280x1024x24 -noreset", "sh", "-c", script, "sh",
             str(ready)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        deadline = time.monotonic() + 60
        while not ready.exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.process.kill()
                pytest.fail("xvfb-run did not start an X server")
            time.sleep(0.05)
        pid, display, authority = ready.read_text().split("\n")[:3]
        self.command_pid = int(pid)
        self.env = {"DISPLAY": display, "XAUTHORITY": authority}
        lock = Path(f"/tmp/.X{display.lstrip(':').split('.')[0]}-lock")
        self.server_pid = int(lock.read_text().strip())

    def close(self):
        # Wine's desktop process must not outlive the server it is connected to.
        settle_wine(None)
        os.kill(self.command_pid, signal.SIGTERM)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        # xvfb-run only signals the server on its way out; a server seen to outlive a run once
        # must not be left behind.
        deadline = time.monotonic() + 10
        while server_running(self.server_pid):
            if time.monotonic() > deadline:
                os.kill(self.server_pid, signal.SIGKILL)
                break
            time.sleep(0.1)


def server_running(pid):
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except FileNotFoundError:
        return False
    # The name in parentheses, then the state; a zombie has ended.
    name, state = stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 2]
    return name == "Xvfb" and state != "Z"


# The display that the prefix's Wine processes were started with ("" for none), or None when
# unknown. Wine's desktop process keeps the display of the run that started it, and every later
# run in the prefix uses it, for a few seconds after the last run ends: a run that needs another
# display must wait until the prefix's wine server has gone.
_wine_display = None


def settle_wine(display):
    global _wine_display
    if _wine_display != display:
        subprocess.run(["wineserver", "-w"], env={**os.environ, "WINEPREFIX": str(WINEPREFIX)},
                       timeout=300, check=False)
    _wine_display = display


@dataclass
class Run:
    code: int
    lines: list
    stdout: bytes
    stderr: bytes


@dataclass
class Launcher:
    folder: Path
    record: Path
    x_display: XDisplay
    env: dict = field(default_factory=dict)

    def add(self, fixture, name=None, subfolder=""):
        """Copies a built test library into the launcher folder under the name asked for."""
        source = FIXTURES / fixture
        if source.is_dir():
            files = list(source.glob("*.dll"))
            assert len(files) == 1, f"{source} should hold one library"
            source = files[0]
        target = self.folder / subfolder
        target.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target / (name or source.name))

    def remove(self, name):
        (self.folder / name).unlink()

    def run(self, *args, env=None, cwd=None, display=True, timeout=120, stderr_file=None,
            program=None, through=None):
        """Runs the launcher; with display=False it has no X display. stderr_file takes
        standard error instead of memory (for Wine's relay traces, which are large). program
        is the path Wine is given for the launcher (relative to cwd, or under another name);
        through is a Windows program that Wine runs instead, with the launcher's Windows path
        before the arguments."""
        full_env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY")}
        if display:
            full_env.update(self.x_display.env)
        full_env["TAVRO_TEST_RECORD"] = wine_path(self.record)
        full_env.update(self.env)
        full_env.update(env or {})
        settle_wine(full_env.get("DISPLAY", ""))
        with open(stderr_file or os.devnull, "wb") as err:
            exe = str(program or self.folder / EXE)
            command = [str(through), wine_path(Path(cwd or self.folder) / exe)] if through else [exe]
            done = subprocess.run([WINE_RUN, *command, *args], env=full_env,
                                  cwd=cwd or self.folder, stdout=subprocess.PIPE,
                                  stderr=err if stderr_file else subprocess.PIPE,
                                  timeout=timeout)
        text = done.stdout.decode("utf-8", errors="replace")
        return Run(done.returncode, text.replace("\r\n", "\n").splitlines(), done.stdout,
                   done.stderr or b"")

    def received(self):
        """What the test application library recorded: (argc, argv list), or None."""
        if not self.record.exists():
            return None
        lines = self.record.read_bytes().decode("utf-8").split("\n")
        argc = int(lines[0])
        assert lines[1 + argc] == "<null>", "argv must be null-terminated"
        return argc, lines[1:1 + argc]


def local_app_data():
    """The user's local application data folder of the Wine prefix, which Wine sets itself
    whatever the environment holds."""
    folders = [p for p in (Path(WINEPREFIX) / "drive_c" / "users").glob("*/AppData/Local")
               if p.parts[-3] != "Public"]
    assert len(folders) == 1, folders
    return folders[0]


def wine_path(path):
    """The Windows name Wine gives a Unix path (through its Z: drive)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def sentry_sdk_bin():
    """The bin folder of the Sentry Native SDK install that LAUNCHER_SENTRY_SDK_PREFIX names, for
    the tests that compare the lite reporter with the SDK's inproc backend (whose envelopes they
    read); without one, the test is skipped with a line saying why."""
    prefix = os.environ.get("LAUNCHER_SENTRY_SDK_PREFIX", "")
    if not prefix:
        pytest.skip("LAUNCHER_SENTRY_SDK_PREFIX names no Sentry Native SDK install")
    folder = Path(prefix) / "bin"
    if not (folder / "sentry.dll").is_file():
        pytest.skip(f"LAUNCHER_SENTRY_SDK_PREFIX={prefix} holds no bin/sentry.dll")
    return folder


def put_sentry_sdk(sdk_bin, folder):
    """The SDK's sentry.dll in place of the lite one, and its crash handler beside it when the
    install has one, as installing the launcher with the SDK lays them out."""
    for name in ("sentry.dll", "crashpad_handler.exe"):
        if (sdk_bin / name).is_file():
            shutil.copy2(sdk_bin / name, folder / name)


def stage_launcher(folder, x_display, app="app"):
    shutil.copytree(STAGE, folder, dirs_exist_ok=True)
    launcher = Launcher(folder=folder, record=folder.parent / "received.txt", x_display=x_display)
    if app:
        launcher.add(app, "orviStudio.dll")
    return launcher


@pytest.fixture(scope="session")
def x_display(tmp_path_factory):
    display = XDisplay(tmp_path_factory.mktemp("x-display"))
    yield display
    display.close()


@pytest.fixture
def launcher(tmp_path, x_display):
    """A launcher folder with the recording application library beside the exe."""
    return stage_launcher(tmp_path / "viewer", x_display)


@pytest.fixture
def stage(tmp_path, x_display):
    """Stages a launcher folder wherever the test wants, with the library it names."""
    def make(folder=None, app="app"):
        return stage_launcher(folder or tmp_path / "viewer", x_display, app)
    return make
