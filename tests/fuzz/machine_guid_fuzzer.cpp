// The registry's MachineGuid value as any bytes: any length, odd included, with or without a
// NUL. The text is valid UTF-8 holding the value's UTF-16 units up to the first NUL (each
// surrogate as U+FFFD, a wide character here being one code point), and nothing is read past
// the bytes the registry returned.
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "telemetry/telemetry_setup.h"

// Only the decoding is under test; the launcher reads the registry through this seam.
MachineGuidValue ReadMachineGuidValue() {
    return {};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MachineGuidValue value;
    // Exactly as many bytes as were read, so a read past them is a heap overflow.
    value.bytes.assign(data, data + size);
    value.bytes.shrink_to_fit();

    FUZZ_CHECK(MachineGuidFromValue(value).empty());

    value.read = true;
    const std::string text = MachineGuidFromValue(value);
    std::vector<uint32_t> code_points;
    FUZZ_CHECK(DecodeUtf8(text, code_points));

    std::vector<uint32_t> expected;
    expected.reserve(size / 2);
    for (const wchar_t unit : WideUnits(data, size)) {
        if (unit == L'\0') {
            break;
        }
        const auto code = static_cast<uint32_t>(unit);
        expected.push_back(code >= 0xD800 && code <= 0xDFFF ? 0xFFFD : code);
    }
    FUZZ_CHECK(code_points == expected);
    return 0;
}
