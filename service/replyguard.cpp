#include "replyguard.h"
#include "memoryguard.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace Service {

void restrictRequest(QNetworkRequest &request)
{
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    if (!AllowsHttp2)
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
}

void limitReply(QNetworkReply *reply, const ReplyLimits &limits, MemoryGuard *memoryGuard)
{
    // Qt's transfer timeout restarts with every byte; this one does not.
    QTimer::singleShot(limits.deadlineMs, Qt::PreciseTimer, reply, [reply] { reply->abort(); });
    if (!QtBoundsHttp1Framing && memoryGuard)
        memoryGuard->watch(reply);

    const qint64 maxBytes = limits.maxBodyBytes;
    // Qt hands a reply's body over in as many pieces as the peer sent, one
    // queued signal each: one-byte chunks would queue millions of them before
    // the checks below run. With a read buffer Qt stops reading from the peer
    // once it holds that much; of one-byte pieces it hands over one byte
    // less, so the buffer is two bytes past the cap for the check to see it.
    // Qt passes the size on only to a request already started: a GET starts
    // at once, a POST and each redirect a moment later, from the event loop,
    // so the size is passed now and again just after each start. (Passed once
    // the request is out, it can wait behind the very flood it is to stop:
    // Qt's HTTP thread on Windows serves its socket before posted events.)
    const qint64 bufferSize = maxBytes + 2;
    const auto passBufferSize = [reply, bufferSize] { reply->setReadBufferSize(bufferSize); };
    passBufferSize();
    QMetaObject::invokeMethod(reply, passBufferSize, Qt::QueuedConnection);
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply, passBufferSize] {
        QMetaObject::invokeMethod(reply, passBufferSize, Qt::QueuedConnection);
    });

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
