// Windows reader: one GetAdaptersInfo() call into a fixed buffer on the stack.
#include "hardwareaddress.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

namespace Identity {

namespace {

// Room for 16 adapter records in a 64-bit process. When the machine lists
// more (or anything else goes wrong) the call fails and there is no address:
// no second call with the size it asks for, no heap.
constexpr ULONG kAdapterBufferBytes = 11264;

#if defined(_WIN64)
static_assert(sizeof(IP_ADAPTER_INFO) == 704, "IP_ADAPTER_INFO is 704 bytes in a 64-bit process");
static_assert(kAdapterBufferBytes == 16 * sizeof(IP_ADAPTER_INFO),
              "the buffer holds exactly 16 adapter records");
#endif
static_assert(kAdapterBufferBytes >= sizeof(IP_ADAPTER_INFO), "the buffer holds one record");

} // namespace

std::optional<HardwareAddress> firstAdapterAddress()
{
    alignas(IP_ADAPTER_INFO) unsigned char buffer[kAdapterBufferBytes] = {};
    ULONG size = kAdapterBufferBytes;
    const ULONG status = GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer), &size);
    return detail::firstRecordAddress<IP_ADAPTER_INFO>(status, buffer, sizeof buffer);
}

} // namespace Identity
