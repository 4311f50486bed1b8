#ifndef HEARTBEATRETRY_H
#define HEARTBEATRETRY_H

namespace Service {

struct HeartbeatRetryDecision
{
    int failures;   // consecutive failed heartbeats, this one included
    bool retry;     // false once the limit is exceeded: give up until a success
};

// After a failed heartbeat: a count of exactly maxRetries still retries, so one
// periodic heartbeat is followed by at most maxRetries retries.
constexpr HeartbeatRetryDecision afterHeartbeatFailure(int failures, int maxRetries)
{
    const int next = failures < 0x7fffffff ? failures + 1 : failures;
    return { next, next <= maxRetries };
}

} // namespace Service

#endif // HEARTBEATRETRY_H
