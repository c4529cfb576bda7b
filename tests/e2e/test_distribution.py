"""What leaves the build tree: the crash reporter's SDK found as a package by the cross build,
the release archives made by CPack, and the plugin SDK with the sample plugin built outside
the launcher's tree against it."""
import json
import os
import shutil
import struct
import subprocess
import zipfile
import zlib
from pathlib import Path

import pytest

from conftest import EXE, FIXTURES, STAGE, WINEPREFIX, Launcher, stage_launcher
from debug_files import check
from test_telemetry import headers, machine_guid  # noqa: F401 (machine_guid is a fixture)

SOURCE = Path(__file__).resolve().parents[2]
BUILD = STAGE.resolve().parent
TOOLCHAIN = SOURCE / "cmake" / "mingw-w64-x86_64.cmake"
OBJDUMP = shutil.which("x86_64-w64-mingw32-objdump")
OBJCOPY = shutil.which("x86_64-w64-mingw32-objcopy")
TOP = "tavro-gcodeviewer-1.5.27-win64"
JOBS = os.environ.get("LAUNCHER_JOBS", "2")


def cmake(*args, cwd=SOURCE, env=None, timeout=600):
    done = subprocess.run(["cmake", *map(str, args)], cwd=cwd, capture_output=True, text=True,
                          env={**os.environ, **(env or {})}, timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def files_under(folder):
    return sorted(str(p.relative_to(folder)) for p in Path(folder).rglob("*") if p.is_file())


def sections(image):
    out = subprocess.run([OBJDUMP, "-h", str(image)], capture_output=True, text=True,
                         check=True).stdout
    return {line.split()[1] for line in out.splitlines()
            if line.strip()[:1].isdigit() and len(line.split()) > 1}


# --- the crash reporter's SDK as a package --------------------------------------------------

@pytest.fixture(scope="module")
def sentry_package():
    """A stand-in SDK install: the recording sentry.dll with its import library, the header,
    a crashpad_handler.exe, and the package file. It is laid out afresh in the build tree, at
    the same place each time, since the launcher's build against it stays there and keeps the
    paths it found in its cache."""
    prefix = BUILD / "sentry-sdk-package"
    shutil.rmtree(prefix, ignore_errors=True)
    for folder in ("bin", "lib/cmake/sentry", "include"):
        (prefix / folder).mkdir(parents=True)
    shutil.copy2(FIXTURES / "sentry-recorder" / "sentry.dll", prefix / "bin")
    shutil.copy2(BUILD / "tests/windows/import/fixture_sentry_recorder/libsentry.dll.a",
                 prefix / "lib")
    shutil.copy2(SOURCE / "sentry-lite/include/sentry.h", prefix / "include")
    shutil.copy2(FIXTURES / "lite-crasher" / "lite_crasher.exe", prefix / "bin/crashpad_handler.exe")
    shutil.copy2(Path(__file__).parent / "sentry-package" / "sentry-config.cmake",
                 prefix / "lib/cmake/sentry")
    return prefix


@pytest.mark.parametrize("how", ["CMAKE_PREFIX_PATH variable", "CMAKE_PREFIX_PATH environment",
                                 "sentry_DIR"])
def test_the_cross_build_finds_the_package_as_named_and_no_host_package(sentry_package, tmp_path,
                                                                         how):
    # The host has GoogleTest's package; the cross build must not see it, however the SDK's
    # prefix is named.
    host = list(Path("/usr/lib").glob("*/cmake/GTest/GTestConfig.cmake"))
    assert host, "the host's GTest package is what this test looks past"
    args, env = [], {}
    if how == "CMAKE_PREFIX_PATH variable":
        args.append(f"-DCMAKE_PREFIX_PATH={tmp_path / 'elsewhere'};{sentry_package}")
    elif how == "CMAKE_PREFIX_PATH environment":
        env["CMAKE_PREFIX_PATH"] = f"{tmp_path / 'elsewhere'}:{sentry_package}:/usr"
    else:
        args.append(f"-Dsentry_DIR={sentry_package}/lib/cmake/sentry")
    out = cmake("-S", Path(__file__).parent / "find-probe", "-B", tmp_path / "build", "-G", "Ninja",
                f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}", "-DHOST_PACKAGE=GTest", *args, env=env)
    probe = [line.split("probe: ", 1)[1] for line in out.splitlines() if "probe: " in line]
    assert probe[0] == f"sentry 1 {sentry_package}/lib/cmake/sentry", out
    assert probe[1] == f"sentry.dll {sentry_package}/bin/sentry.dll", out
    assert probe[2].startswith("host 0 "), out


def test_the_sdk_build_finds_the_install_the_tests_are_given(sentry_package, tmp_path):
    """LAUNCHER_SENTRY_SDK_PREFIX, which names an SDK install for the tests and the benchmark, is
    where a build with the sdk provider finds the package too."""
    build = tmp_path / "build"
    cmake("--preset", "windows-mingw", "-B", build, "-DLAUNCHER_SENTRY=sdk",
          "-DBUILD_TESTING=OFF", env={"LAUNCHER_SENTRY_SDK_PREFIX": str(sentry_package)})
    cache = (build / "CMakeCache.txt").read_text()
    assert f"sentry_DIR:PATH={sentry_package}/lib/cmake/sentry\n" in cache


@pytest.fixture(scope="module")
def sdk_launcher(sentry_package, tmp_path_factory):
    """The launcher configured with the sdk provider through CMAKE_PREFIX_PATH, with a software
    OpenGL folder to ship, built (tests off) and installed. The build folder stays in the build
    tree, so a second run only rebuilds what changed."""
    mesa = tmp_path_factory.mktemp("mesa")
    shutil.copy2(FIXTURES / "mesa" / "opengl32.dll", mesa)
    shutil.copy2(FIXTURES / "mesa" / "opengl32.dll", mesa / "libgallium_wgl.dll")
    (mesa / "README.txt").write_text("not a library\n")
    build = BUILD / "sentry-sdk-build"
    cmake("--preset", "windows-mingw", "-B", build, "-DLAUNCHER_SENTRY=sdk",
          f"-DCMAKE_PREFIX_PATH={sentry_package}", "-DBUILD_TESTING=OFF",
          f"-DLAUNCHER_MESA_DIR={mesa}")
    cmake("--build", build, "-j", JOBS, timeout=1800)
    installed = tmp_path_factory.mktemp("sdk-install")
    cmake("--install", build, "--prefix", installed)
    return installed


def test_the_sdk_launcher_installs_the_packages_dll_and_handler_beside_the_exe(sdk_launcher,
                                                                              sentry_package):
    assert files_under(sdk_launcher) == sorted([
        EXE, "sentry.dll", "crashpad_handler.exe", "mesa/opengl32.dll",
        "mesa/libgallium_wgl.dll"])
    for name in ("sentry.dll", "crashpad_handler.exe"):
        assert (sdk_launcher / name).read_bytes() == (sentry_package / "bin" / name).read_bytes()


def test_the_sdk_launcher_runs_with_the_packages_dll(sdk_launcher, x_display, tmp_path):
    folder = tmp_path / "viewer"
    shutil.copytree(sdk_launcher, folder)
    launcher = Launcher(folder=folder, record=tmp_path / "received.txt", x_display=x_display)
    launcher.add("app", "orviStudio.dll")
    run = launcher.run("a.gcode")
    assert run.code == 0, run.lines
    assert "sentry: sentry_init(opts)" in run.lines
    assert run.lines[-2:] == ["sentry: sentry_end_session()", "sentry: sentry_shutdown()"]
    assert launcher.received()[1][1:] == ["--gcodeviewer", "a.gcode"]


# --- the release archives ------------------------------------------------------------------

def test_a_plain_install_lays_out_the_launcher_folder_alone():
    # The stage is what `cmake --install <build> --prefix <dir>` gives, no component named.
    assert files_under(STAGE) == sorted([EXE, "sentry.dll"])


@pytest.fixture(scope="module")
def archives(tmp_path_factory):
    """The two ZIPs, made by CPack from this build's configuration (what the `package` target
    runs) into a folder of their own."""
    out = tmp_path_factory.mktemp("package")
    subprocess.run(["cpack", "--config", str(BUILD / "CPackConfig.cmake"), "-B", str(out)],
                   cwd=out, capture_output=True, check=True, timeout=600)
    return out


def debuglink(image):
    """The file name and CRC-32 that an image's .gnu_debuglink section holds."""
    section = image.with_suffix(image.suffix + ".link")
    subprocess.run([OBJCOPY, f"--dump-section=.gnu_debuglink={section}", str(image),
                    str(image.with_suffix(".scratch"))], check=True)
    data = section.read_bytes()
    name = data[:data.index(b"\0")].decode()
    offset = (len(name) + 1 + 3) // 4 * 4
    return name, struct.unpack_from("<I", data, offset)[0]


def test_the_archives_hold_the_stripped_launcher_folder_and_its_debug_information(archives,
                                                                                  tmp_path):
    assert sorted(p.name for p in archives.glob("*.zip")) == [f"{TOP}-symbols.zip", f"{TOP}.zip"]
    images = [EXE, "sentry.dll"]
    with zipfile.ZipFile(archives / f"{TOP}.zip") as launcher_zip:
        assert sorted(n for n in launcher_zip.namelist() if not n.endswith("/")) == \
            sorted(f"{TOP}/{name}" for name in images)
        launcher_zip.extractall(tmp_path)
    with zipfile.ZipFile(archives / f"{TOP}-symbols.zip") as symbols_zip:
        assert sorted(n for n in symbols_zip.namelist() if not n.endswith("/")) == \
            sorted(f"{TOP}/{name}.debug" for name in images)
        symbols_zip.extractall(tmp_path)

    for name in images:
        image = tmp_path / TOP / name
        debug = tmp_path / TOP / f"{name}.debug"
        assert not {s for s in sections(image) if s.startswith(".debug")}, name
        # Stripping keeps what the loader needs: the base relocations (ASLR) and the exports.
        assert {".reloc", ".edata"} <= sections(image), name
        assert ".debug_info" in sections(debug), name
        # The link names the file beside the image and matches its contents.
        assert debuglink(image) == (debug.name, zlib.crc32(debug.read_bytes())), name


def test_sentry_cli_reads_each_image_and_its_debug_file_by_one_debug_id(archives, tmp_path):
    """The crash reporting service's tool finds the same debug id in an image and in its .debug
    file, and takes the debug file for symbolication: the launcher folder with its symbols
    archive, and the sample viewer with its own."""
    for archive in (f"{TOP}.zip", f"{TOP}-symbols.zip"):
        with zipfile.ZipFile(archives / archive) as unpacked:
            unpacked.extractall(tmp_path)
    images = [tmp_path / TOP / name for name in (EXE, "sentry.dll")]
    samples = tmp_path / "samples"
    cmake("--install", BUILD, "--prefix", samples, "--component", "samples")
    images.append(samples / "orviStudio.dll")
    for image in images:
        read = check(image)
        debug = check(image.with_name(image.name + ".debug"))
        assert read.debug_id, f"{image.name} has no debug id"
        assert debug.debug_id == read.debug_id, image.name
        assert debug.usable and "debug" in debug.features, (image.name, debug)


def test_the_unpacked_launcher_hands_over_to_an_application_beside_it(archives, x_display,
                                                                     tmp_path):
    with zipfile.ZipFile(archives / f"{TOP}.zip") as launcher_zip:
        launcher_zip.extractall(tmp_path)
    launcher = Launcher(folder=tmp_path / TOP, record=tmp_path / "received.txt",
                        x_display=x_display)
    launcher.add("app", "orviStudio.dll")
    run = launcher.run("a.gcode")
    assert run.code == 0, run.lines
    assert run.lines == ["application received 3 arguments"]
    assert launcher.received()[1][1:] == ["--gcodeviewer", "a.gcode"]


# --- the plugin SDK and the sample plugin ----------------------------------------------------

@pytest.fixture(scope="module")
def plugin_sdk(tmp_path_factory):
    prefix = tmp_path_factory.mktemp("plugin-sdk")
    cmake("--install", BUILD, "--prefix", prefix, "--component", "plugin-sdk")
    return prefix


def test_the_plugin_sdk_holds_the_header_import_library_and_package(plugin_sdk):
    assert files_under(plugin_sdk) == sorted([
        "include/tavro/tavro_plugin.h",
        "lib/libtavro-gcodeviewer.dll.a",
        "lib/cmake/TavroPlugin/TavroPluginConfig.cmake",
        "lib/cmake/TavroPlugin/TavroPluginConfigVersion.cmake",
    ])


@pytest.fixture(scope="module")
def sample_plugin(plugin_sdk, tmp_path_factory):
    """samples/telemetry-plugin configured and built as a project of its own, finding the SDK
    through CMAKE_PREFIX_PATH."""
    build = tmp_path_factory.mktemp("sample-plugin")
    cmake("-S", SOURCE / "samples/telemetry-plugin", "-B", build, "-G", "Ninja",
          f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}", f"-DCMAKE_PREFIX_PATH={plugin_sdk}",
          "-DCMAKE_BUILD_TYPE=Release")
    cmake("--build", build, timeout=600)
    return build / "TavroPlugin.dll"


def test_the_sample_plugin_carries_a_debug_id(sample_plugin):
    assert check(sample_plugin).debug_id


def sample_log():
    """The sample plugin's log in the prefix user's local application data folder."""
    found = list((Path(WINEPREFIX) / "drive_c/users").glob(
        "*/AppData/Local/TavroTelemetrySample/telemetry.jsonl"))
    return found[0] if found else None


@pytest.mark.parametrize("dsn", [None, "https://public@telemetry.example/7"])
def test_the_sample_plugin_logs_what_the_launcher_hands_it(sample_plugin, x_display, tmp_path,
                                                          machine_guid, dsn):  # noqa: F811
    if sample_log() is not None:
        sample_log().unlink()
    launcher = stage_launcher(tmp_path / "viewer", x_display)
    shutil.copy2(sample_plugin, launcher.folder / "TavroPlugin.dll")
    launcher.add("sentry-recorder", "sentry.dll")
    env = {"TAVRO_TELEMETRY_DSN": dsn} if dsn is not None else {}
    run = launcher.run("a.gcode", env=env)
    assert run.code == 0, run.lines
    assert "load plubgin success" in run.lines
    # The endpoint it answered is the one the crash reporter was given.
    assert f'sentry: sentry_options_set_dsn(opts, "{dsn or ""}")' in run.lines

    records = [json.loads(line) for line in sample_log().read_text(encoding="utf-8").splitlines()]
    assert [r["call"] for r in records] == [
        "GetCrashReportDsn", "SetRequestHeaders", "Initialize", "GetCrashReportDsn"]
    assert records[1]["headers"] == headers(machine_guid)
    assert records[2]["values"] == ["", "US", "", machine_guid]
    assert [records[0]["endpoint"], records[3]["endpoint"]] == [dsn or ""] * 2
    assert all(r["pid"] == records[0]["pid"] for r in records)
