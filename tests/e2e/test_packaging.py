"""The executable's headers and imports, as the installed launcher folder holds it."""
import re
import shutil
import subprocess

import pytest

from conftest import EXE, STAGE

OBJDUMP = shutil.which("x86_64-w64-mingw32-objdump")


@pytest.fixture(scope="module")
def headers():
    if OBJDUMP is None:
        pytest.fail("x86_64-w64-mingw32-objdump is missing")
    return subprocess.run([OBJDUMP, "-p", str(STAGE / EXE)], capture_output=True, text=True,
                          check=True).stdout


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
    imported = {m.lower() for m in re.findall(r"DLL Name: (\S+)", headers)}
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
