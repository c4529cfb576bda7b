"""Usage telemetry end to end: what the plugin library receives, the loader's lines, where the
plugin is looked for, and the launch reaching the application whatever the plugin does."""
import re
import shutil
import subprocess

import pytest

from conftest import FIXTURES, WINE_RUN, wine_path

APP_LINE = "application received 3 arguments"


def headers(guid):
    return [
        "App_name: TavroMake Studio",
        "Model_type: PC",
        "App_version: V1.5.27",
        "Country: ",
        "Language: ",
        "Expect:",
        "Openudid: " + guid,
        "Os_version: ",
        "Os_type: Windows",
        "Content-Type:application/json;charset=UTF-8",
    ]


@pytest.fixture(scope="module")
def machine_guid():
    """The prefix's MachineGuid, read in the 64-bit view as the launcher reads it."""
    done = subprocess.run([WINE_RUN, "reg", "query", r"HKLM\SOFTWARE\Microsoft\Cryptography",
                           "/v", "MachineGuid", "/reg:64"], capture_output=True, text=True,
                          check=True)
    match = re.search(r"^\s*MachineGuid\s+REG_SZ\s+(\S+)\s*$", done.stdout, re.MULTILINE)
    assert match, done.stdout
    return match.group(1)


@pytest.fixture
def plugin_log(tmp_path):
    return tmp_path / "plugin-calls.txt"


@pytest.fixture
def with_plugin(stage, plugin_log):
    """A launcher folder with the logging test plugin beside the exe, set up as asked."""
    def make(variant="plugin", **settings):
        launcher = stage()
        launcher.add(variant, "TavroPlugin.dll")
        launcher.env["TAVRO_TEST_PLUGIN_LOG"] = wine_path(plugin_log)
        launcher.env.update(settings)
        return launcher
    return make


def plugin_calls(log):
    """Each call the plugin received: its name, then its arguments; None if never loaded."""
    if not log.exists():
        return None
    return [line.split("\t") for line in log.read_text(encoding="utf-8").splitlines()]


def assert_reached_application(launcher, run):
    assert run.code == 0, run.lines
    argc, argv = launcher.received()
    assert argv[1:] == ["--gcodeviewer", "a.gcode"]


# The lite reporter sends to a DSN that reads: this one names a closed port of the loopback,
# so no run reaches past the machine.
@pytest.mark.parametrize("dsn", ["", "https://public@127.0.0.1:9/7"])
def test_plugin_receives_headers_then_initialisation_and_no_event(with_plugin, plugin_log,
                                                                    machine_guid, dsn):
    launcher = with_plugin(TAVRO_TEST_PLUGIN_DSN=dsn)
    run = launcher.run("a.gcode")
    assert run.lines == ["load plubgin success", APP_LINE]
    assert plugin_calls(plugin_log) == [
        ["loaded"],
        ["GetTavroPlugin"],
        ["GetCrashReportDsn", ""],
        ["SetRequestHeaders", *headers(machine_guid)],
        ["Initialize", "", "US", "", machine_guid],
        ["GetCrashReportDsn", ""],  # crash-reporting set-up asks for its endpoint
    ]
    assert_reached_application(launcher, run)


# A failure written without a line end runs into the next output. Crash-reporting set-up
# loads again after a failed load, so each failure shows twice.
@pytest.mark.parametrize("variant, settings, lines, calls", [
    ("plugin-no-factory", {},
     ["load plubgin fail:127", "load plubgin fail:127", APP_LINE], ["loaded"]),
    ("plugin", {"TAVRO_TEST_PLUGIN_FACTORY": "null", "TAVRO_TEST_PLUGIN_LAST_ERROR": "3221225781"},
     ["load plubgin fail:-1073741515", "load plubgin fail:-1073741515", APP_LINE],
     ["loaded", "GetTavroPlugin", "GetTavroPlugin"]),
    ("plugin", {"TAVRO_TEST_PLUGIN_FACTORY": "throw-standard",
                "TAVRO_TEST_PLUGIN_MESSAGE": "telemetry configuration missing"},
     ["get plugin error: telemetry configuration missing" * 2 + APP_LINE],
     ["loaded", "GetTavroPlugin", "GetTavroPlugin"]),
    ("plugin", {"TAVRO_TEST_PLUGIN_FACTORY": "throw-other"},
     ["get plugin error" * 2 + APP_LINE], ["loaded", "GetTavroPlugin", "GetTavroPlugin"]),
    # The object the factory gave is kept, so set-up still hands it the headers, and
    # crash-reporting set-up asks it for the endpoint, which throws again without ending the
    # launch.
    ("plugin", {"TAVRO_TEST_PLUGIN_DSN_THROWS": "standard",
                "TAVRO_TEST_PLUGIN_MESSAGE": "no endpoint"},
     ["get plugin error: no endpoint" * 2 + APP_LINE],
     ["loaded", "GetTavroPlugin", "GetCrashReportDsn", "SetRequestHeaders", "Initialize",
      "GetTavroPlugin", "GetCrashReportDsn", "GetCrashReportDsn"]),
    ("plugin", {"TAVRO_TEST_PLUGIN_DSN_THROWS": "other"},
     ["get plugin error" * 2 + APP_LINE],
     ["loaded", "GetTavroPlugin", "GetCrashReportDsn", "SetRequestHeaders", "Initialize",
      "GetTavroPlugin", "GetCrashReportDsn", "GetCrashReportDsn"]),
], ids=["no factory export", "factory returns null", "factory throws a standard exception",
        "factory throws something else", "dsn throws a standard exception",
        "dsn throws something else"])
def test_failed_plugin_load_writes_its_line_and_the_launch_goes_on(with_plugin, plugin_log,
                                                                    variant, settings, lines,
                                                                    calls):
    launcher = with_plugin(variant, **settings)
    run = launcher.run("a.gcode")
    assert run.lines == lines
    assert [call[0] for call in plugin_calls(plugin_log)] == calls
    assert_reached_application(launcher, run)


def test_without_plugin_the_launch_reaches_the_application(launcher):
    run = launcher.run("a.gcode")
    assert run.lines == [APP_LINE]
    assert_reached_application(launcher, run)


# A TavroPlugin.dll beside a file the user opens, or on PATH, must never run in the viewer.
@pytest.mark.parametrize("where, loaded", [
    ("working directory", False),
    ("PATH", False),
    ("beside the launcher", True),
])
def test_plugin_is_loaded_only_from_beside_the_launcher(stage, tmp_path, plugin_log, where,
                                                        loaded):
    launcher = stage()
    documents = tmp_path / "documents"
    documents.mkdir()
    env = {"TAVRO_TEST_PLUGIN_LOG": wine_path(plugin_log)}
    plugin = FIXTURES / "plugin" / "TavroPlugin.dll"
    if where == "working directory":
        shutil.copy2(plugin, documents)
    elif where == "PATH":
        (tmp_path / "on-path").mkdir()
        shutil.copy2(plugin, tmp_path / "on-path")
        env["WINEPATH"] = wine_path(tmp_path / "on-path")
    else:
        launcher.add("plugin", "TavroPlugin.dll")
    run = launcher.run("a.gcode", env=env, cwd=documents)
    if loaded:
        assert run.lines == ["load plubgin success", APP_LINE]
        assert plugin_calls(plugin_log)[0] == ["loaded"]
    else:
        assert run.lines == [APP_LINE]
        assert plugin_calls(plugin_log) is None, "the planted library was loaded"
    assert_reached_application(launcher, run)
