"""End-to-end harness: stages a launcher folder, runs tavro-gcodeviewer.exe under Wine,
and hands the test its exit code and standard output lines."""
import os
import shutil
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

import pytest

STAGE = Path(os.environ.get("LAUNCHER_STAGE", "build/windows-mingw/stage"))
FIXTURES = Path(os.environ.get("LAUNCHER_FIXTURES", "build/windows-mingw/fixtures"))
WINE_RUN = os.environ.get("LAUNCHER_WINE_RUN", "cmake/wine-run.sh")
EXE = "tavro-gcodeviewer.exe"


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

    def run(self, *args, env=None, cwd=None, display=False, timeout=120):
        full_env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY")}
        if display:
            for key in ("DISPLAY", "XAUTHORITY"):
                if key in os.environ:
                    full_env[key] = os.environ[key]
        full_env["TAVRO_TEST_RECORD"] = wine_path(self.record)
        full_env.update(self.env)
        full_env.update(env or {})
        done = subprocess.run([WINE_RUN, str(self.folder / EXE), *args], env=full_env,
                              cwd=cwd or self.folder, capture_output=True, timeout=timeout)
        text = done.stdout.decode("utf-8", errors="replace")
        return Run(done.returncode, text.replace("\r\n", "\n").splitlines(), done.stdout,
                   done.stderr)

    def received(self):
        """What the test application library recorded: (argc, argv list), or None."""
        if not self.record.exists():
            return None
        lines = self.record.read_bytes().decode("utf-8").split("\n")
        argc = int(lines[0])
        assert lines[1 + argc] == "<null>", "argv must be null-terminated"
        return argc, lines[1:1 + argc]


def wine_path(path):
    """The Windows name Wine gives a Unix path (through its Z: drive)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def stage_launcher(folder, app="app"):
    shutil.copytree(STAGE, folder, dirs_exist_ok=True)
    launcher = Launcher(folder=folder, record=folder.parent / "received.txt")
    if app:
        launcher.add(app, "orviStudio.dll")
    return launcher


@pytest.fixture
def launcher(tmp_path):
    """A launcher folder with the recording application library beside the exe."""
    return stage_launcher(tmp_path / "viewer")


@pytest.fixture
def stage(tmp_path):
    """Stages a launcher folder wherever the test wants, with the library it names."""
    def make(folder=None, app="app"):
        return stage_launcher(folder or tmp_path / "viewer", app)
    return make
