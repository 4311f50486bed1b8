#ifndef TESTAGENT_H
#define TESTAGENT_H

#include "app/agentsettings.h"
#include "common/refservice.h"

#include <QStandardPaths>
#include <QUrl>

// Readies a test process whose agents talk to service: their files go to
// QtTest's own location, and the service is started. The agent trusts the
// build's test CA by itself before its first request.
inline bool startTestService(RefService &service)
{
    QStandardPaths::setTestModeEnabled(true);
    return service.start();
}

// Settings that point the agent at a local service. The periodic timers are
// pushed out of the way; a test that wants them sets its own intervals.
inline AgentSettings settingsFor(const QUrl &service)
{
    AgentSettings settings = AgentSettings::compiledIn();
    settings.serviceUrl = service.toString(QUrl::StripTrailingSlash);
    settings.publicAddressUrl = settings.serviceUrl;
    settings.heartbeatIntervalMs = 24 * 3600 * 1000;
    settings.identifyIntervalMs = 24 * 3600 * 1000;
    settings.retryDelayMs = 50;
    // Some Qt versions notice a connection closed mid-body only at the timeout.
    settings.transferTimeoutMs = 4000;
    return settings;
}

#endif // TESTAGENT_H
