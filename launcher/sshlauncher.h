#ifndef SSHLAUNCHER_H
#define SSHLAUNCHER_H

#include <QStringList>

namespace Launcher {

// Arguments for an SSH session to address: the option and the address as two
// arguments, or the option alone when the address is unknown, which makes
// the client open its own connection dialog.
QStringList sshArguments(const QString &address);

// Starts the SSH client detached, in the agent's working directory; the agent
// does not track it. Returns whether it started.
bool startSshClient(const QString &program, const QString &address);

} // namespace Launcher

#endif // SSHLAUNCHER_H
