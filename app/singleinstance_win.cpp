#include "singleinstance.h"

#include <QStandardPaths>

#include <windows.h>

// The user's temporary folder, under the local (not roaming) profile. Qt's
// runtime location on Windows is the home folder itself.
QString SingleInstance::userDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation);
}

// Whether Remote Desktop gives each session a temporary folder of its own is
// a policy; the session's number keeps two sessions of one user apart either way.
QString SingleInstance::sessionKey()
{
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session))
        return QString();
    return QString::number(session);
}
