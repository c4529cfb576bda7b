#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// The address fields of an adapter record: its byte count as the record states it, and the
// record's whole fixed-size address array.
struct AdapterAddress {
    uint32_t length = 0;
    std::array<uint8_t, 8> bytes{};
};

// The network adapter list: GetAdaptersInfo on Windows; a fake in the host tests.
class AdapterSource {
  public:
    // GetAdaptersInfo(list, &size); a null list asks for the size. Returns its error code.
    virtual uint32_t QueryAdapters(unsigned char* list, uint32_t& size) = 0;
    // The address fields of the first record of a list that QueryAdapters filled.
    virtual AdapterAddress FirstAdapterAddress(const unsigned char* list, uint32_t size) = 0;

  protected:
    ~AdapterSource() = default;
};

// The Windows source; the host tests link their own.
AdapterSource& SystemAdapterSource();

// Two upper-case hexadecimal digits per byte, high half first, no separators.
std::wstring BytesToHex(const uint8_t* bytes, size_t count);

// The first adapter's hardware address in hexadecimal; empty while sharing is disabled (no
// adapter is looked at then) and whenever the address cannot be read.
std::string GetMacAddress(AdapterSource& source);
std::string GetMacAddress();

// The local host name as the sockets layer returns it (gethostname into 1024 bytes on
// Windows, with the sockets layer started at the first query); raises
// boost::system::system_error with the sockets error on failure. The host tests link their own.
std::string QueryHostName();

// The host name, or the empty string when the query fails.
std::string GetHostName();
