#ifndef REPLYGUARD_H
#define REPLYGUARD_H

#include <QtGlobal>

class QNetworkReply;
class QNetworkRequest;

// What every request and reply of the agent is held to, whoever sends it: a
// service that trickles, streams for ever or redirects elsewhere must not
// hold the agent, its memory or its user's password.
namespace Service {

// The service's answers are small JSON objects; anything larger is not one.
constexpr qint64 MaxServiceReplyBytes = 64 * 1024;

struct ReplyLimits
{
    int deadlineMs;        // from sending to finishing, however the bytes arrive
    qint64 maxBodyBytes;   // received body, read or not
};

// Qt's HTTP/2 client bounds a received header block (an HPACK bomb, or
// CONTINUATION frames without end) from this version on; before it a peer can
// make the agent buffer and decode gigabytes of headers. Qt's change logs name
// no such fix: Qt 6.8.2's sources keep every CONTINUATION frame with no limit,
// 6.11.2's cap the block at 256 KiB and reject both attacks (measured).
constexpr bool AllowsHttp2 = QT_VERSION >= QT_VERSION_CHECK(6, 11, 2);

// Redirects only within the request's own origin (scheme, host and port),
// and HTTP/2 only where Qt bounds the header lists a peer may send.
void restrictRequest(QNetworkRequest &request);

// Aborts reply when limits.deadlineMs have passed, or as soon as its body
// (announced or received) exceeds limits.maxBodyBytes. An aborted reply
// finishes with an error, so its handler takes its usual failure path and
// never parses a cut body. The unread body of a reply stays in its buffer,
// bounded by the cap, and goes with the reply.
void limitReply(QNetworkReply *reply, const ReplyLimits &limits);

} // namespace Service

#endif // REPLYGUARD_H
