#include "singleinstance.h"

#include <QRegularExpression>
#include <QStandardPaths>

// $XDG_RUNTIME_DIR: the user's own, on local storage, gone at log-out; a home
// folder may be shared with other machines.
QString SingleInstance::userDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

// systemd gives the user one runtime folder for all their sessions, so the
// names carry the login session, or else the display the agent shows on.
QString SingleInstance::sessionKey()
{
    QString key = qEnvironmentVariable("XDG_SESSION_ID");
    if (key.isEmpty())
        key = qEnvironmentVariable("DISPLAY");
    if (key.isEmpty())
        key = qEnvironmentVariable("WAYLAND_DISPLAY");
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
    return key.replace(unsafe, QStringLiteral("_"));
}
