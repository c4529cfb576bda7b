"""What the crash reporting service's own tool, sentry-cli, reads from an image or a debug file:
its debug id, code id and whether it is usable for symbolication."""
import json
import os
import subprocess
from dataclasses import dataclass
from pathlib import Path, PureWindowsPath

from conftest import WINEPREFIX

SOURCE = Path(__file__).resolve().parents[2]
SENTRY_CLI = Path(os.environ.get(
    "LAUNCHER_SENTRY_CLI",
    SOURCE / "build/tools/node_modules/@sentry/cli-linux-x64/bin/sentry-cli"))
NO_DEBUG_ID = "00000000-0000-0000-0000-000000000000"


@dataclass
class DebugFileCheck:
    debug_id: str  # None when the file has none
    code_id: str
    usable: bool
    features: str


def check(path):
    """sentry-cli debug-files check of one file."""
    assert SENTRY_CLI.exists(), f"{SENTRY_CLI} is missing (scripts/install-deps.sh)"
    done = subprocess.run([str(SENTRY_CLI), "debug-files", "check", "--json", str(path)],
                          capture_output=True, text=True, timeout=120)
    # It exits with 1 for a file it finds unusable, and says why.
    assert done.returncode in (0, 1) and done.stdout, done.stderr
    found = json.loads(done.stdout)
    [variant] = found["variants"]
    debug_id = variant["debug_id"]
    return DebugFileCheck(None if debug_id.startswith(NO_DEBUG_ID) else debug_id,
                          variant.get("code_id"), found["is_usable"], found["features"])


def host_path(windows_path):
    """The file behind a path of a Wine process: Z: is the host's root, C: the prefix's drive;
    Windows matches names whatever their case."""
    path = PureWindowsPath(windows_path)
    drive = path.drive.upper()
    if drive == "Z:":
        folder = Path("/")
    elif drive == "C:":
        folder = Path(WINEPREFIX) / "drive_c"
    else:
        return None
    for part in path.parts[1:]:
        names = {p.name.lower(): p for p in folder.iterdir()} if folder.is_dir() else {}
        if part.lower() not in names:
            return None
        folder = names[part.lower()]
    return folder
