"""Where the launcher's libraries come from, end to end: the software OpenGL library's
companions from its own folder, the system libraries the launcher calls into from System32 even
with files of the same names planted beside it, and the application's own imports from the
launcher's folder as before."""
import os

from conftest import wine_path

SOFTWARE_LIBRARY_ENV = {
    "WINEDLLOVERRIDES": "mscoree,mshtml=;opengl32=n,b",
    "TAVRO_TEST_SHOW_OPENGL": "1",
}
# Native first, as Windows searches the launcher's folder before System32 for a library that is
# not a known DLL.
PLANTED_OVERRIDES = "mscoree,mshtml=;version=n,b;iphlpapi=n,b"


def test_software_library_loads_its_companion_from_its_own_folder(launcher):
    launcher.add("mesa-with-companion", "opengl32.dll", "mesa")
    launcher.add("mesa-companion", subfolder="mesa")
    launcher.env.update(SOFTWARE_LIBRARY_ENV)
    run = launcher.run("--sw-renderer", "a.gcode", display=False)

    assert run.code == 0, run.lines
    mesa = launcher.folder / "mesa"
    assert run.lines == [
        f"Loading MESA OpenGL library: {wine_path(mesa)}\\opengl32.dll",
        "test software OpenGL companion attached",
        "test software OpenGL library attached",
        "MESA OpenGL library was loaded sucessfully",
        f"application sees opengl32.dll at {wine_path(mesa / 'opengl32.dll')}",
        "application received 4 arguments",
    ]


def planted_record(path):
    """What the planted libraries recorded, without the process ids."""
    if not path.exists():
        return []
    return [line.split(" ", 1)[1] for line in path.read_text().splitlines()]


def test_planted_system_libraries_are_never_asked(stage, tmp_path):
    launcher = stage()
    launcher.add("sentry-recorder", "sentry.dll")
    launcher.add("planted-version")
    launcher.add("planted-iphlpapi")
    record = tmp_path / "planted.txt"
    run = launcher.run("a.gcode", env={"WINEDLLOVERRIDES": PLANTED_OVERRIDES,
                                       "TAVRO_TEST_PLANTED_RECORD": wine_path(record)})

    assert run.code == 0, run.lines
    assert "application received 3 arguments" in run.lines
    assert not [line for line in run.lines if "version info fail" in line], run.lines
    assert 'sentry: sentry_options_set_release(opts, "TavroStudio 1.5.27")' in run.lines
    # Wine's own user32 imports version.dll, so the planted one is in the process (which shows
    # it is preferred) and Wine's libraries may call it; the launcher must not. iphlpapi.dll is
    # not loaded at all.
    recorded = planted_record(record)
    assert recorded[0] == "version.dll attached", recorded
    assert not [line for line in recorded if line.startswith("iphlpapi.dll")], recorded
    assert not [line for line in recorded if line.lower().endswith("from tavro-gcodeviewer.exe")
                or "from <unknown>" in line], recorded


def test_the_applications_own_imports_come_from_the_launcher_folder(stage):
    launcher = stage(app="app-missing-dependency")
    launcher.add("absent")
    run = launcher.run("a.gcode")

    assert run.code == 0, run.lines
    assert "application received 3 arguments" in run.lines
