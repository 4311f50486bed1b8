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

// Redirects followed for one request, each within the request's own origin.
constexpr int MaxRedirects = 3;

class MemoryGuard;

struct ReplyLimits
{
    int deadlineMs;        // from sending to finishing, however the bytes arrive
    qint64 maxBodyBytes;   // received body, read or not
};

// HTTP/2 only from the Qt version that bounds the header block a peer sends
// (docs/RELIABILITY.md says how that version was found).
constexpr bool AllowsHttp2 = QT_VERSION >= QT_VERSION_CHECK(6, 11, 2);

// Whether Qt's HTTP/1.1 reader bounds what it holds before the agent sees it:
// a response head and a chunk-size line. Stock Qt does not, and keeps both in
// memory until they end, tens of MiB a second from a fast peer (memoryguard.h);
// the Qt that the Windows release is built with carries a patch that does (the
// build finds out from Qt's own headers).
#ifdef TESSALY_QT_BOUNDS_HTTP1_FRAMING
constexpr bool QtBoundsHttp1Framing = true;
#else
constexpr bool QtBoundsHttp1Framing = false;
#endif

// At most MaxRedirects redirects, each within the request's own origin
// (scheme, host and port), and HTTP/2 only where Qt bounds the header lists a
// peer may send.
void restrictRequest(QNetworkRequest &request);

// Aborts reply when limits.deadlineMs have passed, or as soon as its body
// (announced or received) exceeds limits.maxBodyBytes. Where Qt does not bound
// a response head or a chunk-size line itself, memoryGuard also watches it.
// An aborted reply finishes with an error, so its handler takes its usual
// failure path and never parses a cut body. The unread body of a reply stays
// in its buffer, bounded by the cap, and goes with the reply.
void limitReply(QNetworkReply *reply, const ReplyLimits &limits, MemoryGuard *memoryGuard);

} // namespace Service

#endif // REPLYGUARD_H
