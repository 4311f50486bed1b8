// Linux reader: the kernel's link list (getifaddrs, AF_PACKET entries), first
// non-loopback interface with a six-byte address in interface-index order.
#include "hardwareaddress.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/socket.h>

#include <memory>
#include <vector>

namespace Identity {

namespace detail {

std::optional<HardwareAddress> firstLinkAddress(const LinkEntry *entries, std::size_t count)
{
    const LinkEntry *best = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const LinkEntry &entry = entries[i];
        if (entry.loopback || entry.address == nullptr
            || entry.addressLength != std::tuple_size_v<HardwareAddress>)
            continue;
        if (best == nullptr || entry.index < best->index)
            best = &entry;
    }
    if (best == nullptr)
        return std::nullopt;
    HardwareAddress address{};
    std::memcpy(address.data(), best->address, address.size());
    return address;
}

} // namespace detail

std::optional<HardwareAddress> firstAdapterAddress()
{
    ifaddrs *raw = nullptr;
    if (getifaddrs(&raw) != 0)
        return std::nullopt;
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs *)> list(raw, freeifaddrs);

    // getifaddrs() reports each link once as an AF_PACKET entry, up or down.
    std::vector<detail::LinkEntry> links;
    for (const ifaddrs *it = list.get(); it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_PACKET)
            continue;
        const auto *link = reinterpret_cast<const sockaddr_ll *>(it->ifa_addr);
        detail::LinkEntry entry;
        entry.index = static_cast<unsigned>(link->sll_ifindex);
        entry.loopback = (it->ifa_flags & IFF_LOOPBACK) != 0 || link->sll_hatype == ARPHRD_LOOPBACK;
        entry.address = link->sll_addr;
        entry.addressLength = link->sll_halen;
        links.push_back(entry);
    }

    return detail::firstLinkAddress(links.data(), links.size());
}

} // namespace Identity
