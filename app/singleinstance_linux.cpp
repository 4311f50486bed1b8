#include "singleinstance.h"

#include <QStandardPaths>

// $XDG_RUNTIME_DIR: the user's own, on local storage, gone at log-out; a home
// folder may be shared with other machines.
QString SingleInstance::sessionDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}
