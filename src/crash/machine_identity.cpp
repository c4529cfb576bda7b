#include "crash/machine_identity.h"

#include <algorithm>
#include <boost/system/system_error.hpp>
#include <memory>
#include <new>

#include "common/wide_to_utf8.h"
#include "telemetry/event_reporting.h"

namespace {

constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorBufferOverflow = 111;

}  // namespace

std::wstring BytesToHex(const uint8_t* bytes, size_t count) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text(2 * count, L'\0');
    for (size_t i = 0; i < count; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::string GetMacAddress(AdapterSource& source) {
    if (SharingDisabled.load()) {
        return {};
    }
    uint32_t size = 0;
    if (source.QueryAdapters(nullptr, size) != kErrorBufferOverflow) {
        return {};
    }
    const std::unique_ptr<unsigned char[]> list(new (std::nothrow) unsigned char[size]);
    if (list == nullptr) {
        return {};
    }
    if (source.QueryAdapters(list.get(), size) != kErrorSuccess) {
        return {};
    }
    // Only the first record counts, whatever its kind. A length beyond the address array is
    // cut to the array, so nothing past it is read.
    const AdapterAddress address = source.FirstAdapterAddress(list.get(), size);
    const size_t length = std::min<size_t>(address.length, address.bytes.size());
    return WideToUtf8(BytesToHex(address.bytes.data(), length));
}

std::string GetMacAddress() {
    return GetMacAddress(SystemAdapterSource());
}

// An unreadable host name is left empty like the other machine values, without a line.
std::string GetHostName() {
    try {
        return QueryHostName();
    } catch (const boost::system::system_error&) {
        return {};
    }
}
