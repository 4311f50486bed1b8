// Prints Identity::readMacText() on one line. Built natively and for Windows
// (run under wine) by crosscheck.sh, which compares the two lines.
//
// The Windows build also understands:
//   --adapters    list every record GetAdaptersInfo() returns, in its order
//   --self-check  feed the record picker real IP_ADAPTER_INFO buffers (a
//                 failed call with a too-small buffer, a hand-made two-record
//                 list) and check what it takes; exit 1 on a wrong answer
#include "identity/hardwareaddress.h"

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

namespace {

using Identity::HardwareAddress;
using Identity::detail::firstRecordAddress;

int listAdapters()
{
    ULONG size = 0;
    ULONG status = GetAdaptersInfo(nullptr, &size);
    std::printf("size query: status %lu, size %lu\n", status, size);
    if (status != ERROR_BUFFER_OVERFLOW)
        return 0;
    std::vector<unsigned char> buffer(size);
    status = GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size);
    std::printf("list: status %lu\n", status);
    if (status != ERROR_SUCCESS)
        return 0;
    for (auto *a = reinterpret_cast<const IP_ADAPTER_INFO *>(buffer.data()); a; a = a->Next) {
        char mac[18];
        Identity::formatMacAddress(a->Address, mac);
        std::printf("index %lu type %u addrlen %u mac %s ip %s name %s desc %s\n",
                    static_cast<unsigned long>(a->Index), a->Type, a->AddressLength, mac,
                    a->IpAddressList.IpAddress.String, a->AdapterName, a->Description);
    }
    return 0;
}

int failures = 0;

void expect(bool ok, const char *what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok)
        ++failures;
}

int selfCheck()
{
    // The real call refusing a buffer that cannot hold one record.
    {
        alignas(IP_ADAPTER_INFO) unsigned char small[sizeof(IP_ADAPTER_INFO) / 2] = {};
        ULONG size = sizeof small;
        const ULONG status = GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(small), &size);
        std::printf("too-small call: status %lu, wanted size %lu\n", status, size);
        expect(status == ERROR_BUFFER_OVERFLOW || status == ERROR_NO_DATA,
               "GetAdaptersInfo refuses a half-record buffer");
        expect(!firstRecordAddress<IP_ADAPTER_INFO>(status, small, sizeof small),
               "no address from the refused call");
    }

    // A hand-made list: the first record's address is taken whatever its
    // AddressLength says, and Next is never followed.
    {
        IP_ADAPTER_INFO records[2];
        std::memset(records, 0, sizeof records);
        const unsigned char first[8] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71};
        const unsigned char second[8] = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87};
        std::memcpy(records[0].Address, first, sizeof first);
        std::memcpy(records[1].Address, second, sizeof second);
        records[0].Next = &records[1];
        records[0].Type = MIB_IF_TYPE_LOOPBACK;
        const auto *bytes = reinterpret_cast<const unsigned char *>(records);

        for (UINT length : {0u, 6u, 8u}) {
            records[0].AddressLength = length;
            const auto picked = firstRecordAddress<IP_ADAPTER_INFO>(ERROR_SUCCESS, bytes, sizeof records);
            expect(picked && std::memcmp(picked->data(), first, 6) == 0,
                   "first record's six bytes, whatever AddressLength says");
        }
        expect(!firstRecordAddress<IP_ADAPTER_INFO>(ERROR_NO_DATA, bytes, sizeof records),
               "no address when the call reports no adapter");
        expect(!firstRecordAddress<IP_ADAPTER_INFO>(ERROR_BUFFER_OVERFLOW, bytes, sizeof records),
               "no address when the call reports an overflow");
    }

    // The reader agrees with the first record of a list fetched here, as long
    // as the list fits in the reader's 16 records.
    {
        ULONG needed = 0;
        GetAdaptersInfo(nullptr, &needed);
        std::vector<unsigned char> buffer(needed > 0 ? needed : 1);
        ULONG size = needed;
        const ULONG status = GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size);
        std::printf("roomy call: status %lu, size %lu\n", status, needed);
        std::string expected;
        if (status == ERROR_SUCCESS && needed <= 16 * sizeof(IP_ADAPTER_INFO)) {
            char mac[18];
            Identity::formatMacAddress(reinterpret_cast<const IP_ADAPTER_INFO *>(buffer.data())->Address, mac);
            expected = mac;
        }
        expect(Identity::readMacText() == expected, "reader matches the first record of a roomy call");
    }

    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}

} // namespace
#endif

int main(int argc, char **argv)
{
#ifdef _WIN32
    if (argc > 1 && std::strcmp(argv[1], "--adapters") == 0)
        return listAdapters();
    if (argc > 1 && std::strcmp(argv[1], "--self-check") == 0)
        return selfCheck();
#endif
    if (argc > 1) {
        std::fprintf(stderr, "usage: %s%s\n", argv[0],
#ifdef _WIN32
                     " [--adapters | --self-check]"
#else
                     ""
#endif
        );
        return 2;
    }
    std::printf("%s\n", Identity::readMacText().c_str());
    return 0;
}
