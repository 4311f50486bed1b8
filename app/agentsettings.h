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
    // Resident memory the process may gain while a request is out, where Qt
    // holds what it gathers of a head without bound (service/memoryguard.h).
    qint64 maxMemoryRiseBytes = 64 * 1024 * 1024;

    static AgentSettings compiledIn();
};

#endif // AGENTSETTINGS_H
