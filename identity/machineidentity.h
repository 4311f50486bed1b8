#ifndef MACHINEIDENTITY_H
#define MACHINEIDENTITY_H

#include <QString>

class QByteArray;

namespace Identity {

// The host name as the platform reports it; the device registration carries it so.
QString reportedHostName();

// The host name lower-cased: with the MAC text it identifies this device in
// heartbeats and identify polls.
QString deviceName();

// The operating system's display name and version.
QString osName();

// The first adapter's MAC text ("0A:1B:2C:3D:4E:5F"), or empty when the
// platform lists no adapter.
QString macAddressText();

// A public-address reply longer than this is not an address; it is cut off.
constexpr qint64 MaxPublicAddressReplyBytes = 1024;

// The public address in a finished lookup's reply: the trimmed body when the
// lookup succeeded and the body is an IPv4 or IPv6 address, otherwise empty.
QString publicAddressFromReply(bool succeeded, const QByteArray &body);

} // namespace Identity

#endif // MACHINEIDENTITY_H
