// Hardware (MAC) address of the machine's first network adapter.
//
// Plain C++17, no Qt: the platform readers live in hardwareaddress_win.cpp
// (GetAdaptersInfo) and hardwareaddress_linux.cpp (kernel link list); the
// text formatting shared by both lives in hardwareaddress.cpp.
#ifndef HARDWAREADDRESS_H
#define HARDWAREADDRESS_H

#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

namespace Identity {

using HardwareAddress = std::array<unsigned char, 6>;

// First adapter's hardware address as the platform lists it, or nothing when
// the platform call fails or lists no adapter.
std::optional<HardwareAddress> firstAdapterAddress();

// Writes the first six bytes of sixBytes as "0A:1B:2C:3D:4E:5F" (17 characters
// plus the terminator) into out.
void formatMacAddress(const unsigned char *sixBytes, char (&out)[18]);

// Formatted text of firstAdapterAddress(), or "" when there is none.
std::string readMacText();

namespace detail {

// One GetAdaptersInfo() answer: status is the call's return value, buffer the
// memory handed to it. Only a zero status counts; then the first record sits
// at the start of the buffer and its Address array's first six bytes are
// taken as they are: AddressLength, the adapter's type and state are not
// looked at and Next is not followed. A template so that the picking can be
// exercised with the real IP_ADAPTER_INFO as well as without <iphlpapi.h>.
template <typename AdapterRecord>
std::optional<HardwareAddress> firstRecordAddress(unsigned long status,
                                                  const unsigned char *buffer,
                                                  std::size_t bufferSize)
{
    static_assert(std::is_standard_layout_v<AdapterRecord>,
                  "the record is read at a fixed offset");
    static_assert(sizeof(AdapterRecord::Address) >= std::tuple_size_v<HardwareAddress>,
                  "the record's Address array holds at least six bytes");
    constexpr std::size_t addressOffset = offsetof(AdapterRecord, Address);

    HardwareAddress address{};
    if (status != 0 || buffer == nullptr || bufferSize < addressOffset + address.size())
        return std::nullopt;
    std::memcpy(address.data(), buffer + addressOffset, address.size());
    return address;
}

#if defined(__linux__)
// One network interface as the kernel lists it.
struct LinkEntry
{
    unsigned index = 0;          // interface index
    bool loopback = false;       // IFF_LOOPBACK set or ARPHRD_LOOPBACK type
    const unsigned char *address = nullptr;
    std::size_t addressLength = 0;
};

// The address of the lowest-index entry that is not loopback and has exactly
// six address bytes; nothing when there is no such entry.
std::optional<HardwareAddress> firstLinkAddress(const LinkEntry *entries, std::size_t count);
#endif

} // namespace detail
} // namespace Identity

#endif // HARDWAREADDRESS_H
