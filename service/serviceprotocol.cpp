#include "serviceprotocol.h"
#include "replyguard.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QUrl>

#include <limits>

namespace Service {

namespace {

QNetworkRequest jsonPostRequest(const QString &url, int transferTimeoutMs)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(transferTimeoutMs);
    restrictRequest(request);
    return request;
}

// QJsonDocument's indented form, with the members in key order.
QByteArray jsonBody(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

PostRequest deviceMessage(const QString &url, const QString &deviceName,
                          const QString &macAddress, int transferTimeoutMs)
{
    QJsonObject body;
    body.insert(QStringLiteral("device_name"), deviceName);
    body.insert(QStringLiteral("mac_address"), macAddress);
    return { jsonPostRequest(url, transferTimeoutMs), jsonBody(body) };
}

// A JSON whole number within the 32-bit range, or 0.
qint32 readInt32(const QJsonValue &value)
{
    constexpr qint64 invalid = std::numeric_limits<qint64>::min();
    const qint64 number = value.toInteger(invalid);
    if (number == invalid || number < std::numeric_limits<qint32>::min()
        || number > std::numeric_limits<qint32>::max()) {
        return 0;
    }
    return qint32(number);
}

} // namespace

PostRequest loginRequest(const QString &serviceUrl, const QString &username,
                         const QString &password, int transferTimeoutMs)
{
    QJsonObject body;
    body.insert(QStringLiteral("username"), username);
    body.insert(QStringLiteral("password"), password);
    return { jsonPostRequest(serviceUrl + QStringLiteral("/login"), transferTimeoutMs),
             jsonBody(body) };
}

PostRequest deviceRegistrationRequest(const QString &serviceUrl, qint32 userId,
                                      const QString &hostName, const QString &osName,
                                      const QString &publicAddress, const QString &macAddress,
                                      int transferTimeoutMs)
{
    QJsonObject body;
    body.insert(QStringLiteral("device_name"), hostName);
    body.insert(QStringLiteral("ip_address"), publicAddress);
    body.insert(QStringLiteral("mac_address"), macAddress);
    body.insert(QStringLiteral("os"), osName);
    body.insert(QStringLiteral("user_id"), userId);
    const QString url = serviceUrl + QStringLiteral("/api/devices?uid=") + QString::number(userId);
    return { jsonPostRequest(url, transferTimeoutMs), jsonBody(body) };
}

PostRequest heartbeatRequest(const QString &serviceUrl, const QString &deviceName,
                             const QString &macAddress, int transferTimeoutMs)
{
    return deviceMessage(serviceUrl + QStringLiteral("/api/heartbeat"), deviceName, macAddress,
                         transferTimeoutMs);
}

PostRequest identifyPollRequest(const QString &serviceUrl, const QString &deviceName,
                                const QString &macAddress, int transferTimeoutMs)
{
    return deviceMessage(serviceUrl + QStringLiteral("/api/ping-identify"), deviceName,
                         macAddress, transferTimeoutMs);
}

QNetworkRequest publicAddressRequest(const QString &publicAddressUrl, int transferTimeoutMs)
{
    QNetworkRequest request(QUrl(publicAddressUrl, QUrl::TolerantMode));
    request.setTransferTimeout(transferTimeoutMs);
    restrictRequest(request);
    return request;
}

QJsonObject replyObject(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

LoginResult readLoginReply(const QByteArray &body)
{
    const QJsonObject object = replyObject(body);
    LoginResult result;
    result.success = object.value(QLatin1String("success")).toBool(false);
    result.userId = readInt32(object.value(QLatin1String("user_id")));
    return result;
}

bool readIdentifyReply(const QByteArray &body)
{
    return replyObject(body).value(QLatin1String("identify")).toBool(false);
}

} // namespace Service
