"""The executable's headers and imports, as the installed launcher folder holds it."""
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import EXE, STAGE

OBJDUMP = shutil.which("x86_64-w64-mingw32-objdump")


def read_headers(path):
    if OBJDUMP is None:
        pytest.fail("x86_64-w64-mingw32-objdump is missing")
    return subprocess.run([OBJDUMP, "-p", str(path)], capture_output=True, text=True,
                          check=True).stdout


@pytest.fixture(scope="module")
def headers():
    return read_headers(STAGE / EXE)


def imports(headers):
    return {m.lower() for m in re.findall(r"DLL Name: (\S+)", headers)}


def system_libraries():
    """What Windows itself provides: the libraries of the prefix's system folder."""
    prefix = Path(os.environ.get("LAUNCHER_WINEPREFIX", "build/windows-mingw/wineprefix"))
    return {p.name.lower() for p in (prefix / "drive_c/windows/system32").iterdir()}


def field(headers, name):
    match = re.search(rf"^{name}\s+(\S+)", headers, re.MULTILINE)
    assert match, f"{name} not in the headers"
    return match.group(1)


def test_gui_subsystem_for_x86_64_and_windows_vista(headers):
    assert "file format pei-x86-64" in headers
    assert re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", headers, re.MULTILINE)
    assert field(headers, "MajorOSystemVersion") == "6"
    assert field(headers, "MinorOSystemVersion") == "0"
    assert field(headers, "MajorSubsystemVersion") == "6"
    assert field(headers, "MinorSubsystemVersion") == "0"
    assert "large address aware" in headers


def test_security_and_terminal_server_flags(headers):
    block = headers[headers.index("DllCharacteristics"):]
    block = block[:block.index("SizeOfStackReserve")]
    for flag in ("HIGH_ENTROPY_VA", "DYNAMIC_BASE", "NX_COMPAT", "TERMINAL_SERVICE_AWARE"):
        assert flag in block


def test_imports_nothing_loaded_at_run_time(headers):
    imported = imports(headers)
    for name in ("opengl32.dll", "orvistudio.dll", "tavroplugin.dll", "glu32.dll"):
        assert name not in imported
    assert not any(name.startswith("lib") for name in imported), "no mingw runtime DLL"


def test_exports_the_plugin_records(headers):
    table = headers[headers.index("[Ordinal/Name Pointer] Table"):]
    exported = set(re.findall(r"^\s+\[\s*\d+\] (\S+)$", table, re.MULTILINE))
    special = ["C1Ev", "C2Ev", "C1ERKS_", "C2ERKS_", "C1EOS_", "C2EOS_", "aSERKS_", "aSEOS_"]
    expected = {"_ZN11TavroPlugin" + member for member in special}
    expected |= {"_ZN10RequestRes" + member for member in special + ["D1Ev", "D2Ev"]}
    expected.add("_ZTV11TavroPlugin")
    assert expected <= exported, sorted(expected - exported)
def test_imports_sentry_and_otherwise_system_libraries_only(headers):
    imported = imports(headers)
    assert "sentry.dll" in imported
    assert imported - {"sentry.dll"} <= system_libraries(), imported


def test_the_installed_sentry_dll_exports_the_crash_reporter_functions():
    headers = read_headers(STAGE / "sentry.dll")
    assert imports(headers) <= system_libraries()
    table = headers[headers.index("[Ordinal/Name Pointer] Table"):]
    exported = set(re.findall(r"^\s+\[\s*\d+\]\s+(\S+)$", table, re.MULTILINE))
    assert exported == {
        "sentry_options_new", "sentry_options_set_dsn", "sentry_options_set_release",
        "sentry_options_set_environment", "sentry_options_set_handler_path",
        "sentry_options_set_database_path", "sentry_options_set_debug",
        "sentry_options_set_auto_session_tracking", "sentry_options_set_symbolize_stacktraces",
        "sentry_options_set_on_crash", "sentry_init", "sentry_shutdown", "sentry_start_session",
        "sentry_end_session", "sentry_set_tag",
    }


# Windows' known DLLs: always taken from System32, whatever lies beside the executable. Any
# other system library imported would be looked for in the launcher's folder first.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "gdi32.dll",
    "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll",
    "normaliz.dll", "nsi.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "wldap32.dll", "ws2_32.dll",
}


def test_system_libraries_it_imports_are_known_dlls(headers):
    imported = imports(headers) - {"sentry.dll"}
    assert imported <= KNOWN_DLLS, sorted(imported - KNOWN_DLLS)
