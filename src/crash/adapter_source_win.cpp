// iphlpapi.h needs both of these declared first.
// clang-format off
#include <windows.h>
#include <winsock2.h>
#include <iphlpapi.h>
// clang-format on

#include <cstring>

#include "crash/machine_identity.h"

namespace {

static_assert(sizeof(AdapterAddress::bytes) == MAX_ADAPTER_ADDRESS_LENGTH,
              "the address array must match the record's");

class WindowsAdapterSource final : public AdapterSource {
  public:
    uint32_t QueryAdapters(unsigned char* list, uint32_t& size) override {
        ULONG length = size;
        const DWORD result = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(list), &length);
        size = length;
        return result;
    }

    AdapterAddress FirstAdapterAddress(const unsigned char* list, uint32_t size) override {
        AdapterAddress address;
        if (size < sizeof(IP_ADAPTER_INFO)) {
            return address;
        }
        const auto* first = reinterpret_cast<const IP_ADAPTER_INFO*>(list);
        address.length = first->AddressLength;
        std::memcpy(address.bytes.data(), first->Address, address.bytes.size());
        return address;
    }
};

}  // namespace

AdapterSource& SystemAdapterSource() {
    static WindowsAdapterSource source;
    return source;
}
