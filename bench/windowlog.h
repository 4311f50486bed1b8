// How the benchmark driver learns that one of the agent window's handlers
// ran: the window logs a line each time, and a message handler counts those
// lines and drops them, so that printing them costs nothing.
#ifndef WINDOWLOG_H
#define WINDOWLOG_H

#include <string>

struct WindowLogCounts
{
    long identifyTrue = 0;
    long identifyFalse = 0;
    long identifyFailed = 0;
    long heartbeatOk = 0;
    long heartbeatFailed = 0;
    long retriesScheduled = 0;
    long gaveUp = 0;
    long otherMessages = 0;
};

namespace WindowLog {

// Installs the counting handler. afterCounted, when given, is called from the
// event loop after each line counted, once the handler that logged it has
// returned. Messages that count nothing are kept aside; critical ones are
// passed on to the handler installed before.
void install(void (*afterCounted)() = nullptr);
void uninstall();

const WindowLogCounts &counts();
// The last message that counted nothing.
std::string lastOther();

} // namespace WindowLog

#endif // WINDOWLOG_H
