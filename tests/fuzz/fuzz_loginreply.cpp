// Login replies: Service::readLoginReply() against a reading of the same body
// made member by member from the parsed document, plus facts about the bytes
// that hold whatever the parser does.

#include "fuzzcheck.h"

#include "service/serviceprotocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <cmath>
#include <cstdint>

namespace {

struct Expected
{
    bool success = false;
    qint32 userId = 0;
};

// Walks the members in order. QJsonObject's iterator hands out names through
// QString::fromUtf8(), which drops a leading U+FEFF, while lookups compare the
// name as it was sent; a member only counts when a lookup by the name the
// iterator gives finds that same member.
Expected expectedReading(const QByteArray &body)
{
    Expected expected;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return expected;
    const QJsonObject object = document.object();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (object.constFind(it.key()) != it)
            continue;
        const QJsonValue value = it.value();
        if (it.key() == QLatin1String("success")) {
            expected.success = value.type() == QJsonValue::Bool && value.toBool(false);
        } else if (it.key() == QLatin1String("user_id") && value.type() == QJsonValue::Double) {
            // Any whole number of the 32-bit range, however it is written
            // (42, 42.0, 4.2e1); everything else is no user id.
            const double number = value.toDouble();
            if (std::isfinite(number) && std::trunc(number) == number
                && number >= -2147483648.0 && number <= 2147483647.0) {
                expected.userId = static_cast<qint32>(number);
            }
        }
    }
    return expected;
}

bool holdsNonZeroDigit(const QByteArray &text)
{
    for (const char c : text) {
        if (c >= '1' && c <= '9')
            return true;
    }
    return false;
}

bool sameResult(const Service::LoginResult &a, const Service::LoginResult &b)
{
    return a.success == b.success && a.userId == b.userId;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = FuzzCheck::bytes(data, size);
    const Service::LoginResult result = Service::readLoginReply(body);

    const Expected expected = expectedReading(body);
    FUZZ_CHECK(result.success == expected.success);
    FUZZ_CHECK(result.userId == expected.userId);

    if (result.success) {
        FUZZ_CHECK(FuzzCheck::holdsLiteralTrue(body));
        FUZZ_CHECK(FuzzCheck::firstToken(body) == '{');
        FUZZ_CHECK(FuzzCheck::lastToken(body) == '}');
    }
    if (result.userId != 0) {
        FUZZ_CHECK(FuzzCheck::firstToken(body) == '{');
        FUZZ_CHECK(holdsNonZeroDigit(body));
    }

    // White space around the body and the layout of the members do not matter.
    FUZZ_CHECK(sameResult(Service::readLoginReply(FuzzCheck::padded(body)), result));
    const QJsonObject object = Service::replyObject(body);
    // (Qt writes names as its iterator gives them, so an object with a name
    // that starts with U+FEFF is not written back.)
    if (FuzzCheck::namesSurviveWriting(object)) {
        for (const auto format : { QJsonDocument::Compact, QJsonDocument::Indented }) {
            const QByteArray rewritten = QJsonDocument(object).toJson(format);
            FUZZ_CHECK(sameResult(Service::readLoginReply(rewritten), result));
        }
    }
    return 0;
}
