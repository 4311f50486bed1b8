#ifndef AGENTSETTINGS_H
#define AGENTSETTINGS_H

#include <QString>

// The values the agent runs with. The program only ever uses compiledIn();
// tests build a MainWindow with their own copy to reach a local service and
// to shorten the intervals.
struct AgentSettings
{
    QString serviceUrl;        // scheme, host and optional port; paths are appended verbatim
    QString publicAddressUrl;  // scheme, host and optional port
    QString sshClientPath;
    int heartbeatIntervalMs = 300000;
    int identifyIntervalMs = 15000;
    int retryDelayMs = 10000;
    int transferTimeoutMs = 30000;  // without a byte
    int requestDeadlineMs = 30000;  // from sending, however the bytes arrive
    // A request still waiting for a connection after this long moves later
    // requests to fresh connections (MainWindow::limit).
    int connectionWaitMs = 5000;
    // After sending, without the head or a body byte reaching the agent; only
    // where Qt holds what it gathers meanwhile without bound (replyguard.h).
    int stallTimeoutMs = 2500;

    static AgentSettings compiledIn();
};

#endif // AGENTSETTINGS_H
