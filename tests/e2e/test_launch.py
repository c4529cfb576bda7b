"""The launch spine end to end: the argument vector the application receives, the hand-off
failures and the exit code."""
import pytest


def test_no_arguments_gives_the_viewer_switch_alone(launcher):
    run = launcher.run()
    assert run.code == 0
    argc, argv = launcher.received()
    assert argc == 2
    assert argv[0].lower().endswith("tavro-gcodeviewer.exe")
    assert argv[1] == "--gcodeviewer"


@pytest.mark.parametrize("arguments", [
    ["C:\\Prints\\benchy part 1.gcode"],
    ["Z:\\tmp\\Müller – Schale ø3 印刷.gcode"],
    ["--gcodeviewer", "a.gcode"],
    ["a.gcode", "--sw-render", "--SW-RENDERER", "/sw-renderer", "--sw-renderer=1"],
])
def test_arguments_pass_through_after_the_viewer_switch(launcher, arguments):
    run = launcher.run(*arguments)
    assert run.code == 0
    argc, argv = launcher.received()
    assert argc == len(arguments) + 2
    assert argv[1:] == ["--gcodeviewer", *arguments]


@pytest.mark.parametrize("code", [0, 3])
def test_exit_code_is_the_applications_result(launcher, code):
    run = launcher.run("a.gcode", env={"TAVRO_TEST_EXIT_CODE": str(code)})
    assert run.code == code
    assert "application received 3 arguments" in run.lines


@pytest.mark.parametrize("app, line", [
    (None, "orviStudio.dll was not loaded, error: 126"),
    ("app-missing-dependency", "orviStudio.dll was not loaded, error: 126"),
    ("app-no-handler", "could not locate the function tavroExceptionHandler in orviStudio.dll"),
    ("app-no-main", "could not locate the function layrix_main in orviStudio.dll"),
])
def test_failed_hand_off_writes_one_line_and_exits_minus_one(stage, app, line):
    launcher = stage(app=app)
    run = launcher.run("a.gcode")
    assert run.code == 255  # -1 as the Unix side reads it
    assert line in run.lines
    assert not [l for l in run.lines if "orviStudio.dll" in l and l != line]
    assert launcher.received() is None


def test_launcher_deeper_than_max_path_still_finds_its_library(stage, tmp_path):
    folder = tmp_path
    while len(str(folder)) < 300:
        folder = folder / "a-long-folder-name-for-the-viewer"
    launcher = stage(folder=folder / "viewer")
    run = launcher.run("a.gcode")
    assert run.code == 0, run.lines
    argc, argv = launcher.received()
    assert argv[1:] == ["--gcodeviewer", "a.gcode"]
