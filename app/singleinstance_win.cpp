#include "singleinstance.h"

#include <QStandardPaths>

// The user's temporary folder, under the local (not roaming) profile, one per
// session where Remote Desktop keeps per-session temporary folders. Qt's
// runtime location on Windows is the home folder itself.
QString SingleInstance::sessionDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation);
}
