#include "hardwareaddress.h"

#include <cstdio>

namespace Identity {

void formatMacAddress(const unsigned char *sixBytes, char (&out)[18])
{
    std::snprintf(out, sizeof out, "%02X:%02X:%02X:%02X:%02X:%02X",
                  static_cast<unsigned>(sixBytes[0]), static_cast<unsigned>(sixBytes[1]),
                  static_cast<unsigned>(sixBytes[2]), static_cast<unsigned>(sixBytes[3]),
                  static_cast<unsigned>(sixBytes[4]), static_cast<unsigned>(sixBytes[5]));
}

std::string readMacText()
{
    const std::optional<HardwareAddress> address = firstAdapterAddress();
    if (!address)
        return std::string();
    char text[18];
    formatMacAddress(address->data(), text);
    return std::string(text);
}

} // namespace Identity
