"""README's run command, scripts/run-viewer.sh, as it is run on a machine with no display: in a
Wine prefix of its own that no wine server runs for yet, then again in the same prefix. The
script takes the tree this test run has built (LAUNCHER_VIEWER_NO_BUILD) and stages it as it
always does."""
import os
import shutil
import subprocess
from pathlib import Path

from conftest import Run
# generated is a fixture: the sample's figures, as its generator gives them.
from test_sample_viewer import ROOT, SAMPLE, check_drawing, expect_summary, generated, summary

SCRIPT = ROOT / "scripts" / "run-viewer.sh"


def run_viewer(*args, prefix, cwd, shims=None):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "WINEPREFIX")}
    env.update(LAUNCHER_WINEPREFIX=str(prefix), LAUNCHER_VIEWER_NO_BUILD="1")
    if shims is not None:
        env["PATH"] = f"{shims}:{env['PATH']}"
    done = subprocess.run(["bash", str(SCRIPT), *args], env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=900)
    text = done.stdout.decode("utf-8", errors="replace").replace("\r\n", "\n")
    return Run(done.returncode, text.splitlines(), done.stdout, b"")


def wine_servers(prefix):
    """The wine servers running for the prefix, known by the WINEPREFIX they were started with."""
    found = []
    for name in Path("/proc").glob("[0-9]*/comm"):
        try:
            if name.read_text().strip() != "wineserver":
                continue
            environment = (name.parent / "environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if f"WINEPREFIX={prefix}".encode() in environment:
            found.append(int(name.parent.name))
    return found


def test_readme_run_command_in_a_fresh_prefix_then_again_from_another_folder(tmp_path,
                                                                            generated):
    prefix = tmp_path / "wineprefix"
    assert not prefix.exists() and wine_servers(prefix) == []

    # As README writes it: the sample cube, drawn to build/screenshot.png.
    run = run_viewer(prefix=prefix, cwd=ROOT)
    assert run.code == 0, run.lines
    expect_summary(summary(run), generated)
    # The display is there for the probe as much as for the viewer: the system driver stays.
    assert not [line for line in run.lines
                if line.startswith(("System OpenGL", "Loading MESA"))], run.lines
    png = ROOT / "build" / "screenshot.png"
    assert f"screenshot: {png}" in run.lines
    check_drawing(png, generated)
    # Gone before its display went, so the next run's Wine starts on a display of its own.
    assert wine_servers(prefix) == []

    # Warm, from another folder, whose relative names are the ones meant.
    folder = tmp_path / "work"
    folder.mkdir()
    shutil.copy2(SAMPLE, folder / "cube.gcode")
    run = run_viewer("--screenshot", "pictures/cube.png", "cube.gcode", prefix=prefix, cwd=folder)
    assert run.code == 0, run.lines
    expect_summary(summary(run), generated)
    check_drawing(folder / "pictures" / "cube.png", generated)
    assert wine_servers(prefix) == []

    # Wine's names stop at 260 characters: a longer one would reach the viewer cut short.
    deep = folder.joinpath(*["a-folder-name-of-about-sixty-characters-for-a-deep-picture"] * 5,
                           "cube.png")
    run = run_viewer("--screenshot", str(deep), "cube.gcode", prefix=prefix, cwd=folder)
    assert run.code == 2, run.lines
    assert f"run-viewer.sh: Wine has no name for {deep}" in run.lines
    assert not [line for line in run.lines if line.startswith("launcher folder:")], run.lines
    assert wine_servers(prefix) == []


def shim(folder, name, script):
    """A stand-in for a command on PATH: `script` runs first; `exec real` hands over to it."""
    folder.mkdir(exist_ok=True)
    real = shutil.which(name)
    path = folder / name
    path.write_text(f"#!/bin/sh\nreal={real}\n{script}\n")
    path.chmod(0o755)


# What goes wrong around the launch says so: a virtual display that never came up is tried
# again (nothing had begun), a prefix that cannot be prepared ends the run with its reason.
def test_the_display_and_the_prefix_failing_say_so(tmp_path, generated):
    prefix = tmp_path / "wineprefix"
    once = tmp_path / "xvfb-run-failed"
    shims = tmp_path / "display-once"
    # As xvfb-run does when its authority file cannot be written: exit 1, no word.
    shim(shims, "xvfb-run", f'[ -e {once} ] || {{ : >{once}; exit 1; }}\nexec "$real" "$@"')
    run = run_viewer(prefix=prefix, cwd=ROOT, shims=shims)
    assert run.code == 0, run.lines
    assert "run-viewer.sh: xvfb-run ended with 1 before the launch began (try 1 of 3)" in run.lines
    assert [line for line in run.lines if line.startswith("launcher folder:")], run.lines
    expect_summary(summary(run), generated)

    shims = tmp_path / "no-registry"
    shim(shims, "wine", '[ "$1" != reg ] || { echo "reg: denied" >&2; exit 1; }\nexec "$real" "$@"')
    run = run_viewer(prefix=prefix, cwd=ROOT, shims=shims)
    assert run.code == 1, run.lines
    assert any(line.startswith("wine-prefix-init.sh: could not set ") and "reg: denied" in line
               for line in run.lines), run.lines
    assert f"run-viewer.sh: the Wine prefix {prefix} could not be prepared" in run.lines
    assert not [line for line in run.lines if line.startswith("launcher folder:")], run.lines
    assert wine_servers(prefix) == []
