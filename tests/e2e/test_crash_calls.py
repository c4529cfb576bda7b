"""The launcher's calls to the crash reporter end to end, read from a sentry.dll that writes each
call it receives on standard output (tests/windows/fixtures/sentry_recorder.cpp), so the calls
are seen in their order among the launcher's and the application's lines: the set-up, then the
end of the session and the shutdown after every outcome of the hand-off, and neither when a
failed software switch ends the launch."""
import re

import pytest

from conftest import wine_path

APP_LINE = "application received 3 arguments"
DSN = "https://public@telemetry.example/7"
END = ["sentry: sentry_end_session()", "sentry: sentry_shutdown()"]


@pytest.fixture
def recorded(stage):
    """A launcher folder whose sentry.dll is the recording one, with the library it names."""
    def make(app="app"):
        launcher = stage(app=app)
        launcher.add("sentry-recorder", "sentry.dll")
        return launcher
    return make


def set_up(run, folder, dsn=""):
    """The set-up calls expected at the start of the run, with the process id and host name it
    tagged; these two are read from the run itself and must look like what they are."""
    tags = dict(re.findall(r'^sentry: sentry_set_tag\("(\w+)", "(.*)"\)$', "\n".join(run.lines),
                           re.MULTILINE))
    assert re.fullmatch(r"[1-9][0-9]*", tags.get("PID", "")), run.lines
    assert tags.get("computer_name"), run.lines
    directory = wine_path(folder)
    calls = [
        "sentry_options_new()",
        f'sentry_options_set_dsn(opts, "{dsn}")',
        f'sentry_options_set_handler_path(opts, "{directory}\\crashpad_handler.exe")',
        f'sentry_options_set_database_path(opts, "{directory}\\dump")',
        'sentry_options_set_release(opts, "TavroStudio 1.5.27")',
        "sentry_options_set_debug(opts, 0)",
        'sentry_options_set_environment(opts, "production")',
        "sentry_options_set_auto_session_tracking(opts, 0)",
        "sentry_options_set_symbolize_stacktraces(opts, 1)",
        "sentry_options_set_on_crash(opts, callback, NULL)",
        "sentry_init(opts)",
        "sentry_start_session()",
        f'sentry_set_tag("PID", "{tags["PID"]}")',
        f'sentry_set_tag("computer_name", "{tags["computer_name"]}")',
        'sentry_set_tag("mac_address", "")',
    ]
    return ["sentry: " + call for call in calls]


def test_a_normal_launch_ends_the_session_and_shuts_down_after_the_application(recorded):
    launcher = recorded()
    launcher.add("plugin", "TavroPlugin.dll")
    run = launcher.run("a.gcode", env={"TAVRO_TEST_PLUGIN_DSN": DSN, "TAVRO_TEST_EXIT_CODE": "3"})

    assert run.code == 3, run.lines
    assert run.lines == ["load plubgin success"] + set_up(run, launcher.folder, DSN) + [
        APP_LINE] + END
    pid = next(line for line in launcher.record.read_text(encoding="utf-8").splitlines()
               if line.startswith("pid="))
    assert f'sentry: sentry_set_tag("PID", "{pid[4:]}")' in run.lines


@pytest.mark.parametrize("app, line", [
    (None, "orviStudio.dll was not loaded, error: 126"),
    ("app-no-handler", "could not locate the function tavroExceptionHandler in orviStudio.dll"),
    ("app-no-main", "could not locate the function layrix_main in orviStudio.dll"),
])
def test_a_failed_hand_off_still_ends_the_session_and_shuts_down(recorded, app, line):
    launcher = recorded(app=app)
    run = launcher.run("a.gcode")

    assert run.code == 255, run.lines
    assert run.lines == set_up(run, launcher.folder) + [line] + END
    assert launcher.received() is None


# Last: switching the prefix to no display costs a wait for Wine's desktop process to go.
def test_a_failed_software_switch_leaves_the_crash_reporter_running(recorded):
    launcher = recorded()
    # Without a display the probe gets no version; the plugin keeps opengl32.dll loaded after
    # the launcher's release, so the switch fails, and the warning box returns at once.
    launcher.add("plugin", "TavroPlugin.dll")
    run = launcher.run("a.gcode", display=False, env={"TAVRO_TEST_PLUGIN_HOLD_OPENGL": "1"})

    assert run.code == 255, run.lines
    assert run.lines == ["load plubgin success"] + set_up(run, launcher.folder) + [
        "System OpenGL library released but not removed"]
    assert launcher.received() is None
