#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The registry's "MachineGuid" value under HKLM\SOFTWARE\Microsoft\Cryptography, read in the
// 64-bit view into a 2048-byte buffer. `bytes` holds exactly what the registry returned.
struct MachineGuidValue {
    bool read = false;
    std::vector<uint8_t> bytes;
};

// The Windows registry read; the host tests link their own.
MachineGuidValue ReadMachineGuidValue();

// The value's UTF-16 text up to its first NUL, never past the bytes read, as UTF-8.
std::string MachineGuidFromValue(const MachineGuidValue& value);

// The machine GUID as UTF-8, or the empty string when it cannot be read.
std::string GetMachineGuid();

// The request header lines that describe this client, in their fixed order.
std::vector<std::string> BuildRequestHeaders(const std::string& machine_guid);

// Loads the plugin and hands it the header lines and its initialisation values.
void SetUpTelemetry();
