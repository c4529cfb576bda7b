// iphlpapi.h needs both of these declared first.
// clang-format off
#include <windows.h>
#include <winsock2.h>
#include <iphlpapi.h>
// clang-format on

#include <cstring>

#include "common/module_loader.h"
#include "common/system_library.h"
#include "crash/machine_identity.h"

namespace {

static_assert(sizeof(AdapterAddress::bytes) == MAX_ADAPTER_ADDRESS_LENGTH,
              "the address array must match the record's");

using GetAdaptersInfoFunction = ULONG(WINAPI*)(PIP_ADAPTER_INFO, PULONG);

// iphlpapi.dll is taken from System32 at the first query, not imported: a normal launch never
// asks for the adapters (only sharing does), and as an import it would be looked for beside
// the launcher first. A library that cannot be loaded fails the query.
class WindowsAdapterSource final : public AdapterSource {
  public:
    uint32_t QueryAdapters(unsigned char* list, uint32_t& size) override {
        if (!Load()) {
            const DWORD error = GetLastError();
            // Whatever the loader left, the query must not read as a success or as a size.
            return error == ERROR_SUCCESS || error == ERROR_BUFFER_OVERFLOW ? ERROR_MOD_NOT_FOUND
                                                                            : error;
        }
        ULONG length = size;
        const DWORD result = query_(reinterpret_cast<IP_ADAPTER_INFO*>(list), &length);
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

  private:
    // Tried once; the library is never freed.
    bool Load() {
        if (!tried_) {
            tried_ = true;
            const ModuleHandle library = LoadSystemLibrary(L"iphlpapi.dll");
            if (library != nullptr) {
                query_ = reinterpret_cast<GetAdaptersInfoFunction>(
                    SystemModuleLoader().FindExport(library, "GetAdaptersInfo"));
            }
        }
        return query_ != nullptr;
    }

    bool tried_ = false;
    GetAdaptersInfoFunction query_ = nullptr;
};

}  // namespace

AdapterSource& SystemAdapterSource() {
    static WindowsAdapterSource source;
    return source;
}
