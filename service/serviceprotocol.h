#ifndef SERVICEPROTOCOL_H
#define SERVICEPROTOCOL_H

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>

class QJsonObject;

// The wire contract with the maker's service: how each request is built and
// how each reply body is read. Nothing here sends or waits.
namespace Service {

// A POST ready to hand to QNetworkAccessManager::post(). Every request built
// here gives up after transferTimeoutMs without a byte, and follows redirects
// only within its own origin (replyguard.h).
struct PostRequest
{
    QNetworkRequest request;
    QByteArray body;
};

PostRequest loginRequest(const QString &serviceUrl, const QString &username,
                         const QString &password, int transferTimeoutMs);
PostRequest deviceRegistrationRequest(const QString &serviceUrl, qint32 userId,
                                      const QString &hostName, const QString &osName,
                                      const QString &publicAddress, const QString &macAddress,
                                      int transferTimeoutMs);
PostRequest heartbeatRequest(const QString &serviceUrl, const QString &deviceName,
                             const QString &macAddress, int transferTimeoutMs);
PostRequest identifyPollRequest(const QString &serviceUrl, const QString &deviceName,
                                const QString &macAddress, int transferTimeoutMs);
QNetworkRequest publicAddressRequest(const QString &publicAddressUrl, int transferTimeoutMs);

// The top-level object of a reply body; empty when the body is not a JSON object.
QJsonObject replyObject(const QByteArray &body);

struct LoginResult
{
    bool success = false;
    qint32 userId = 0;
};

LoginResult readLoginReply(const QByteArray &body);
bool readIdentifyReply(const QByteArray &body);

} // namespace Service

#endif // SERVICEPROTOCOL_H
