// The hardware address from any adapter query: any result codes, any list size and any
// AddressLength in the first record. The address is the first min(AddressLength, 8) bytes as
// pairs of upper-case hexadecimal digits, or empty when sharing is off (and then no adapter is
// queried) or a query fails; nothing is read or written past the list or the address array.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "crash/machine_identity.h"
#include "fuzz_check.h"
#include "telemetry/event_reporting.h"

namespace {

constexpr uint32_t kErrorBufferOverflow = 111;

// Answers from the fuzzer's bytes, mostly the codes of a query that works.
class FuzzedAdapterSource final : public AdapterSource {
  public:
    explicit FuzzedAdapterSource(FuzzedDataProvider& input) : input_(input) {}

    uint32_t QueryAdapters(unsigned char* list, uint32_t& size) override {
        ++queries;
        if (list == nullptr) {
            FUZZ_CHECK(queries == 1);
            size = input_.ConsumeIntegralInRange<uint32_t>(0, 4096);
            list_size = size;
            size_code =
                input_.ConsumeBool() ? kErrorBufferOverflow : input_.ConsumeIntegral<uint32_t>();
            return size_code;
        }
        FUZZ_CHECK(queries == 2);
        FUZZ_CHECK(size == list_size);
        // The platform fills the whole list it was given.
        std::memset(list, 0xA5, size);
        list_code = input_.ConsumeBool() ? 0 : input_.ConsumeIntegral<uint32_t>();
        return list_code;
    }

    AdapterAddress FirstAdapterAddress(const unsigned char* list, uint32_t size) override {
        FUZZ_CHECK(list != nullptr && size == list_size);
        address.length = input_.ConsumeIntegral<uint32_t>();
        for (uint8_t& byte : address.bytes) {
            byte = input_.ConsumeIntegral<uint8_t>();
        }
        ++records;
        return address;
    }

    int queries = 0;
    int records = 0;
    uint32_t size_code = 0;
    uint32_t list_code = 0;
    uint32_t list_size = 0;
    AdapterAddress address;

  private:
    FuzzedDataProvider& input_;
};

int DigitValue(char digit) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const char* found = std::strchr(kDigits, digit);
    return digit != '\0' && found != nullptr ? static_cast<int>(found - kDigits) : -1;
}

}  // namespace

// The seams the rest of the identity code links against; neither is reached here.
AdapterSource& SystemAdapterSource() {
    std::abort();
}

std::string QueryHostName() {
    return {};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const bool sharing_disabled = input.ConsumeIntegral<uint8_t>() == 0xFF;
    SharingDisabled.store(sharing_disabled);
    FuzzedAdapterSource source(input);
    const std::string address = GetMacAddress(source);

    if (sharing_disabled) {
        FUZZ_CHECK(source.queries == 0);
        FUZZ_CHECK(address.empty());
        return 0;
    }
    // The list is asked for only after the size query said how big it is, and the record is
    // read only from a list the platform filled.
    FUZZ_CHECK(source.queries == (source.size_code == kErrorBufferOverflow ? 2 : 1));
    FUZZ_CHECK(source.records == (source.queries == 2 && source.list_code == 0 ? 1 : 0));
    if (source.records == 0) {
        FUZZ_CHECK(address.empty());
        return 0;
    }
    const size_t length = std::min<size_t>(source.address.length, source.address.bytes.size());
    FUZZ_CHECK(address.size() == 2 * length);
    for (size_t i = 0; i < length; ++i) {
        const int high = DigitValue(address[2 * i]);
        const int low = DigitValue(address[2 * i + 1]);
        FUZZ_CHECK(high >= 0 && low >= 0);
        FUZZ_CHECK(high * 16 + low == source.address.bytes[i]);
    }
    return 0;
}
