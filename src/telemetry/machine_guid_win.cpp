#include <windows.h>

#include "telemetry/telemetry_setup.h"

MachineGuidValue ReadMachineGuidValue() {
    MachineGuidValue value;
    HKEY key = nullptr;
    // The 64-bit view holds the machine's own GUID whatever this process's bitness.
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0,
                      KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return value;
    }
    value.bytes.assign(2048, 0);
    DWORD size = static_cast<DWORD>(value.bytes.size());
    const LONG status =
        RegQueryValueExW(key, L"MachineGuid", nullptr, nullptr, value.bytes.data(), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        value.bytes.clear();
        return value;
    }
    value.bytes.resize(size);
    value.read = true;
    return value;
}
