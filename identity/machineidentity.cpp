#include "machineidentity.h"

#include "hardwareaddress.h"

#include <QByteArray>
#include <QHostAddress>
#include <QHostInfo>
#include <QSysInfo>

namespace Identity {

QString reportedHostName()
{
    return QHostInfo::localHostName();
}

QString deviceName()
{
    return QHostInfo::localHostName().toLower();
}

QString osName()
{
    return QSysInfo::prettyProductName();
}

QString macAddressText()
{
    return QString::fromUtf8(readMacText().c_str());
}

QString publicAddressFromReply(bool succeeded, const QByteArray &body)
{
    if (!succeeded || body.size() > MaxPublicAddressReplyBytes)
        return QString();
    const QString text = QString::fromUtf8(body.trimmed());
    // Only the characters of a numeric address: this text becomes a command-line
    // argument, so names, scope ids and anything else are refused outright.
    for (const QChar c : text) {
        const bool allowed = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')
                || (c >= u'A' && c <= u'F') || c == u'.' || c == u':';
        if (!allowed)
            return QString();
    }
    QHostAddress address;
    if (text.isEmpty() || !address.setAddress(text))
        return QString();
    // A dotted quad only in its plain form: shorthand such as "127.1" and octets
    // with leading zeros, which some readers take for octal, are ambiguous.
    if (address.protocol() == QAbstractSocket::IPv4Protocol && text != address.toString())
        return QString();
    return text;
}

} // namespace Identity
