"""Crash reporting end to end with the lite crash reporter: a crash of the application leaves
one report in the launcher folder's "dump" folder, a normal launch leaves none."""
from envelope import only_envelope, report_files


CRASH_WORD = "--crash-now"
ACCESS_VIOLATION = 0xC0000005


def recorded_values(launcher):
    """The key=value lines the test application library recorded after its arguments."""
    lines = launcher.record.read_bytes().decode("utf-8").split("\n")
    return dict(line.split("=", 1) for line in lines[lines.index("<null>") + 1:] if "=" in line)


def reports(launcher):
    return report_files(launcher.folder / "dump")


def test_a_crash_leaves_one_report_with_release_environment_and_tags(launcher):
    run = launcher.run("a.gcode", CRASH_WORD)
    assert run.code == ACCESS_VIOLATION & 0xFF, run.lines
    assert "application received 4 arguments" in run.lines

    envelope = only_envelope(launcher.folder / "dump")
    report = envelope.event
    values = recorded_values(launcher)

    assert report["release"] == "TavroStudio 1.5.27"
    assert report["environment"] == "production"
    assert report["tags"] == {
        "PID": values["pid"],
        "computer_name": values["host"],
        "mac_address": "",
    }
    assert values["host"] and not values["host"].startswith("<")
    exception = report["exception"]["values"][0]
    assert exception["mechanism"]["meta"]["signal"]["number"] == ACCESS_VIOLATION
    assert exception["stacktrace"]["frames"]
    assert envelope.session["status"] == "crashed"


def test_a_normal_launch_leaves_no_report_and_exits_with_the_applications_code(launcher):
    run = launcher.run("a.gcode", env={"TAVRO_TEST_EXIT_CODE": "3"})
    assert run.code == 3
    assert (launcher.folder / "dump").is_dir(), "the reporter made its database folder"
    assert reports(launcher) == []


def test_the_crash_word_elsewhere_is_an_ordinary_argument(launcher):
    run = launcher.run("--crash-now=1", "a.gcode")
    assert run.code == 0
    assert reports(launcher) == []


def test_a_failed_hand_off_still_ends_the_reporter_cleanly(stage):
    launcher = stage(app=None)
    run = launcher.run("a.gcode")
    assert run.code == 255
    assert "orviStudio.dll was not loaded, error: 126" in run.lines
    assert reports(launcher) == []


def test_the_report_folder_is_beside_the_launcher_not_the_current_directory(launcher, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    run = launcher.run(CRASH_WORD, cwd=elsewhere)
    assert run.code == ACCESS_VIOLATION & 0xFF
    assert len(reports(launcher)) == 1
    assert list(elsewhere.iterdir()) == []
