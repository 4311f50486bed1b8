// Identify-poll replies and the reply-object reading under them:
// Service::readIdentifyReply() and Service::replyObject() against the parsed
// document walked member by member, plus facts about the bytes.

#include "fuzzcheck.h"

#include "service/serviceprotocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <cstdint>

namespace {

// True only for a member "identify" whose value is the literal true.
// QJsonObject's iterator hands out names through QString::fromUtf8(), which
// drops a leading U+FEFF, while lookups compare the name as it was sent; a
// member only counts when a lookup by the name the iterator gives finds that
// same member.
bool expectedIdentify(const QJsonObject &object)
{
    bool identify = false;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (it.key() == QLatin1String("identify") && object.constFind(it.key()) == it)
            identify = it.value().isBool() && it.value() == QJsonValue(true);
    }
    return identify;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = FuzzCheck::bytes(data, size);
    const bool identify = Service::readIdentifyReply(body);
    const QJsonObject object = Service::replyObject(body);

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    const bool isObject = error.error == QJsonParseError::NoError && document.isObject();

    // The reply object is the body's top-level object, and nothing else.
    if (isObject) {
        FUZZ_CHECK(object == document.object());
        FUZZ_CHECK(FuzzCheck::firstToken(body) == '{');
        FUZZ_CHECK(FuzzCheck::lastToken(body) == '}');
    } else {
        FUZZ_CHECK(object.isEmpty());
    }

    FUZZ_CHECK(identify == (isObject && expectedIdentify(document.object())));
    if (identify)
        FUZZ_CHECK(FuzzCheck::holdsLiteralTrue(body));

    // An empty reply object (no JSON object, or one without members) gives
    // no flag and no login either.
    if (object.isEmpty()) {
        FUZZ_CHECK(!identify);
        const Service::LoginResult login = Service::readLoginReply(body);
        FUZZ_CHECK(!login.success && login.userId == 0);
    }

    // White space around the body and the layout of the members do not matter.
    const QByteArray padded = FuzzCheck::padded(body);
    FUZZ_CHECK(Service::readIdentifyReply(padded) == identify);
    FUZZ_CHECK(Service::replyObject(padded) == object);
    // (Qt writes names as its iterator gives them, so an object with a name
    // that starts with U+FEFF is not written back.)
    if (FuzzCheck::namesSurviveWriting(object)) {
        for (const auto format : { QJsonDocument::Compact, QJsonDocument::Indented }) {
            const QByteArray rewritten = QJsonDocument(object).toJson(format);
            FUZZ_CHECK(Service::readIdentifyReply(rewritten) == identify);
        }
    }
    return 0;
}
