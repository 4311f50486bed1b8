#include "replyguard.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace Service {

void restrictRequest(QNetworkRequest &request)
{
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    if (!AllowsHttp2)
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
}

void limitReply(QNetworkReply *reply, const ReplyLimits &limits)
{
    // Qt's transfer timeout restarts with every byte; this one does not.
    QTimer::singleShot(limits.deadlineMs, Qt::PreciseTimer, reply, [reply] { reply->abort(); });

    const qint64 maxBytes = limits.maxBodyBytes;
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, maxBytes] {
        bool known = false;
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && announced > maxBytes)
            reply->abort();
    });
    // readyRead comes with every chunk, downloadProgress only now and then;
    // nothing reads these replies before they finish, so what is available
    // is all that has arrived.
    QObject::connect(reply, &QIODevice::readyRead, reply, [reply, maxBytes] {
        if (reply->bytesAvailable() > maxBytes)
            reply->abort();
    });
}

} // namespace Service
