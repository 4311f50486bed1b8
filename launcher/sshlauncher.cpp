#include "sshlauncher.h"

#include <QProcess>

namespace Launcher {

QStringList sshArguments(const QString &address)
{
    QStringList arguments{ QStringLiteral("-ssh") };
    if (!address.isEmpty())
        arguments.append(address);
    return arguments;
}

bool startSshClient(const QString &program, const QString &address)
{
    return QProcess::startDetached(program, sshArguments(address), QString(), nullptr);
}

} // namespace Launcher
