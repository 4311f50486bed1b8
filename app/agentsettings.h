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
    // How long an alert's player waits, once its sound has ended, for the next
    // alert before it goes: longer than one identify poll, so that a service
    // that asks at every poll replays one player instead of making one each.
    int alertKeptMs = 20000;

    static AgentSettings compiledIn();
};

#endif // AGENTSETTINGS_H
