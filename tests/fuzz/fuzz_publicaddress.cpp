// Public-address replies: whatever Identity::publicAddressFromReply() takes
// from a body must be a plain numeric address made only of the body's own
// trimmed bytes; and the usual written forms of real addresses, built from
// the input, must be taken as they are.

#include "fuzzcheck.h"

#include "identity/machineidentity.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace {

bool isAsciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

QByteArray trimmedAscii(const QByteArray &body)
{
    qsizetype begin = 0;
    qsizetype end = body.size();
    while (begin < end && isAsciiSpace(body.at(begin)))
        ++begin;
    while (end > begin && isAsciiSpace(body.at(end - 1)))
        --end;
    return body.mid(begin, end - begin);
}

bool isAddressCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')
            || u == '.' || u == ':';
}

// Four decimal numbers of 0..255 joined by dots, read as a person reads them;
// returns false when the text is not that.
bool readDottedDecimal(const QString &text, quint32 *value)
{
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4)
        return false;
    quint32 result = 0;
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return false;
        unsigned number = 0;
        for (const QChar c : part) {
            if (c < u'0' || c > u'9')
                return false;
            number = number * 10 + unsigned(c.unicode() - u'0');
        }
        if (number > 255)
            return false;
        result = (result << 8) | number;
    }
    *value = result;
    return true;
}

void checkTaken(const QByteArray &body, const QString &address)
{
    FUZZ_CHECK(body.size() <= Identity::MaxPublicAddressReplyBytes);
    FUZZ_CHECK(address.size() <= Identity::MaxPublicAddressReplyBytes);
    for (const QChar c : address)
        FUZZ_CHECK(isAddressCharacter(c));
    // Nothing added, nothing dropped but the white space at the ends.
    FUZZ_CHECK(address.toLatin1() == trimmedAscii(body));

    QHostAddress parsed;
    FUZZ_CHECK(parsed.setAddress(address));
    FUZZ_CHECK(parsed.protocol() == QAbstractSocket::IPv4Protocol
               || parsed.protocol() == QAbstractSocket::IPv6Protocol);
    FUZZ_CHECK(parsed.scopeId().isEmpty());
    if (parsed.protocol() == QAbstractSocket::IPv4Protocol) {
        // The text goes to the service and onto the SSH client's command
        // line; each reader has to see the same host in it. A person, and
        // most parsers, read dotted quads as decimal.
        quint32 decimal = 0;
        FUZZ_CHECK(readDottedDecimal(address, &decimal));
        FUZZ_CHECK(decimal == parsed.toIPv4Address());
    }
}

// Some white space from the input's bytes, for the ends of a built reply.
QByteArray whiteSpace(const uint8_t *data, size_t size, size_t from, size_t count)
{
    static const char spaces[] = { ' ', '\t', '\n', '\v', '\f', '\r' };
    QByteArray text;
    for (size_t i = from; i < from + count && i < size; ++i) {
        if (data[i] & 0x80)
            text.append(spaces[data[i] % sizeof spaces]);
    }
    return text;
}

void checkWrittenAddressTaken(const QString &text, const QByteArray &before,
                              const QByteArray &after)
{
    // At most 4 + 39 + 4 bytes: well under the size limit.
    const QByteArray body = before + text.toLatin1() + after;
    FUZZ_CHECK(Identity::publicAddressFromReply(true, body) == text);
    FUZZ_CHECK(Identity::publicAddressFromReply(false, body).isEmpty());
    // Spaces up to the size limit are still trimmed off; one byte more and the
    // reply is no address at all.
    const QByteArray full = body.leftJustified(Identity::MaxPublicAddressReplyBytes, ' ');
    FUZZ_CHECK(Identity::publicAddressFromReply(true, full) == text);
    FUZZ_CHECK(Identity::publicAddressFromReply(true, full + ' ').isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = FuzzCheck::bytes(data, size);

    const QString address = Identity::publicAddressFromReply(true, body);
    FUZZ_CHECK(Identity::publicAddressFromReply(false, body).isEmpty());
    if (!address.isEmpty())
        checkTaken(body, address);

    // Real addresses from the input's bytes, written out the usual way.
    if (size >= 4) {
        const quint32 v4 = quint32(data[0]) << 24 | quint32(data[1]) << 16
                | quint32(data[2]) << 8 | quint32(data[3]);
        checkWrittenAddressTaken(QHostAddress(v4).toString(), whiteSpace(data, size, 4, 4),
                                 whiteSpace(data, size, 8, 4));
    }
    if (size >= 16) {
        Q_IPV6ADDR v6;
        for (int i = 0; i < 16; ++i)
            v6[i] = data[i];
        const QHostAddress host(v6);
        checkWrittenAddressTaken(host.toString(), whiteSpace(data, size, 16, 4),
                                 whiteSpace(data, size, 20, 4));
        // Every group written out in full, upper case.
        QStringList groups;
        for (int i = 0; i < 16; i += 2)
            groups << QStringLiteral("%1").arg(data[i] << 8 | data[i + 1], 4, 16, QLatin1Char('0'))
                              .toUpper();
        checkWrittenAddressTaken(groups.join(u':'), QByteArray(), QByteArray());
    }
    return 0;
}
