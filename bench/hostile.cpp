// The agent's window under a service that keeps it busy, with the intervals
// shortened through AgentSettings so that thousands of events take a minute.
// The window is the real one; the driver only counts what the window's own
// handlers log, closes the identify notices the way a person would (clicking
// OK, from a timer, as a modal box's own event loop runs beneath it), and
// samples the process's memory.
//
//     bench_hostile --qt-version
//     bench_hostile --url URL --mode MODE --events N [--sample-every K]
//                   [--warmup W] [--settle S]
//
// Modes (the reference service is set up by the caller to match):
//   identify-close  identify polled every 20 ms, answered true; each notice is
//                   closed as soon as it is seen. An event is one identify
//                   answer handled.
//   identify-open   the same, but the first notice is left open to the end.
//   heartbeat-fail  heartbeat every 20 ms, retries 10 ms apart, every one
//                   answered 500. An event is one failed heartbeat handled.
//   heartbeat-cost  one heartbeat at a time, the next as soon as the last one's
//                   answer (200) was handled; W round trips to warm up, S more
//                   measured but not counted, then N counted. Under callgrind
//                   only those N are collected.
//   identify-cost   the same with identify polls answered false.
//
// Prints JSON lines on standard output: a sample of memory every K events and
// a summary at the end.
#include "noticecloser.h"
#include "procfs.h"
#include "windowlog.h"

#include "app/mainwindow.h"
#include "service/trust.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <malloc.h>
#include <unistd.h>
#include <utility>

#ifdef BENCH_HAVE_CALLGRIND
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name)
#endif

namespace {

enum class Mode { IdentifyClose, IdentifyOpen, HeartbeatFail, HeartbeatCost, IdentifyCost };

const std::pair<const char *, Mode> modes[] = {
    { "identify-close", Mode::IdentifyClose },
    { "identify-open", Mode::IdentifyOpen },
    { "heartbeat-fail", Mode::HeartbeatFail },
    { "heartbeat-cost", Mode::HeartbeatCost },
    { "identify-cost", Mode::IdentifyCost },
};

Mode mode = Mode::IdentifyClose;
long eventTarget = 0;
long sampleEvery = 100;
long lastSampled = -1;
long warmup = 20;
long settleRounds = 10;
bool finishing = false;
QElapsedTimer runClock;

long events()
{
    const WindowLogCounts &counts = WindowLog::counts();
    switch (mode) {
    case Mode::IdentifyClose:
    case Mode::IdentifyOpen:
        return counts.identifyTrue + counts.identifyFalse + counts.identifyFailed;
    case Mode::HeartbeatFail:
        return counts.heartbeatFailed;
    case Mode::HeartbeatCost:
        return counts.heartbeatOk;
    case Mode::IdentifyCost:
        return counts.identifyFalse;
    }
    return 0;
}

void sample(long at, int boxesSeen)
{
    const struct mallinfo2 heap = mallinfo2();
    const ProcessMemory memory = readProcessMemory(getpid());
    std::printf("{\"events\": %ld, \"ms\": %lld, \"rss_kib\": %ld, \"hwm_kib\": %ld, "
                "\"heap_kib\": %zu, \"boxes\": %d}\n",
                at, static_cast<long long>(runClock.elapsed()), memory.vmRss, memory.vmHwm,
                heap.uordblks / 1024, boxesSeen);
    std::fflush(stdout);
}

NoticeCloser *closer = nullptr;
MainWindow *costWindow = nullptr;

void finish()
{
    if (finishing)
        return;
    finishing = true;
    // Ends every running event loop, a notice's own included.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
}

// Sampling and the end are checked from a timer rather than from inside the
// message handler, so that nothing of the driver runs within the window's
// handlers.
void check()
{
    const long now = events();
    const long bucket = now / sampleEvery * sampleEvery;
    if (bucket != lastSampled) {
        lastSampled = bucket;
        sample(now, closer ? closer->seen : 0);
    }
    if (now >= eventTarget)
        finish();
}

bool costMode()
{
    return mode == Mode::HeartbeatCost || mode == Mode::IdentifyCost;
}

// One round trip at a time: the next request goes out once the last answer
// was handled.
void nextRoundTrip()
{
    if (finishing || !costWindow)
        return;
    const long done = events();
    if (done == warmup)
        CALLGRIND_START_INSTRUMENTATION;
    if (done == warmup + settleRounds)
        CALLGRIND_ZERO_STATS;
    if (done == warmup + settleRounds + eventTarget) {
        CALLGRIND_DUMP_STATS_AT("round trips");
        CALLGRIND_STOP_INSTRUMENTATION;
        sample(eventTarget, 0);
        finish();
        return;
    }
    QMetaObject::invokeMethod(costWindow, mode == Mode::HeartbeatCost ? "sendHeartbeat"
                                                                  : "checkIdentifyStatus");
}

int usage()
{
    std::fprintf(stderr,
                 "usage: bench_hostile --qt-version\n"
                 "       bench_hostile --url URL --mode identify-close|identify-open|heartbeat-fail|"
                 "heartbeat-cost|identify-cost --events N [--sample-every K] [--warmup W] "
                 "[--settle S]\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QString url;
    QString modeName;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--qt-version") {
            std::printf("%s\n", qVersion());
            return 0;
        } else if (arg == "--url" && hasValue) {
            url = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == "--mode" && hasValue) {
            modeName = QString::fromLatin1(argv[++i]);
        } else if (arg == "--events" && hasValue) {
            eventTarget = std::atol(argv[++i]);
        } else if (arg == "--sample-every" && hasValue) {
            sampleEvery = std::atol(argv[++i]);
        } else if (arg == "--warmup" && hasValue) {
            warmup = std::atol(argv[++i]);
        } else if (arg == "--settle" && hasValue) {
            settleRounds = std::atol(argv[++i]);
        } else {
            return usage();
        }
    }
    const auto named = std::find_if(std::begin(modes), std::end(modes), [&](const auto &entry) {
        return modeName == QLatin1String(entry.first);
    });
    if (named == std::end(modes))
        return usage();
    mode = named->second;
    if (url.isEmpty() || eventTarget <= 0 || sampleEvery <= 0)
        return usage();

    QApplication app(argc, argv);
    // In the round-trip modes the next request goes out once the last
    // answer was handled.
    WindowLog::install(costMode() ? nextRoundTrip : nullptr);
    Service::trustCompiledInCertificates();

    const int never = 24 * 3600 * 1000;
    AgentSettings settings = AgentSettings::compiledIn();
    settings.serviceUrl = url;
    settings.publicAddressUrl = url;
    settings.heartbeatIntervalMs = never;
    settings.identifyIntervalMs = never;
    settings.retryDelayMs = 10;
    switch (mode) {
    case Mode::IdentifyClose:
    case Mode::IdentifyOpen:
        settings.identifyIntervalMs = 20;
        break;
    case Mode::HeartbeatFail:
        settings.heartbeatIntervalMs = 20;
        break;
    case Mode::HeartbeatCost:
    case Mode::IdentifyCost:
        break;
    }

    runClock.start();
    int status = 0;
    {
        MainWindow window(settings);
        window.show();

        NoticeCloser noticeCloser(mode != Mode::IdentifyOpen);
        closer = &noticeCloser;
        QTimer checker;
        if (costMode()) {
            costWindow = &window;
            QTimer::singleShot(0, &window, [] { nextRoundTrip(); });
        } else {
            QObject::connect(&checker, &QTimer::timeout, &check);
            checker.start(5);
        }
        // A run that stalls (a service that stopped answering) ends anyway.
        QTimer::singleShot(10 * 60 * 1000, qApp, [] {
            std::fprintf(stderr, "bench_hostile: gave up after ten minutes\n");
            finish();
        });

        status = app.exec();
        checker.stop();
        costWindow = nullptr;
        if (!costMode())
            sample(events(), noticeCloser.seen);
        noticeCloser.closeAll();
        closer = nullptr;

        const WindowLogCounts &counts = WindowLog::counts();
        std::printf("{\"done\": true, \"mode\": \"%s\", \"events\": %ld, \"ms\": %lld, "
                    "\"identify_true\": %ld, \"identify_false\": %ld, \"identify_failed\": %ld, "
                    "\"heartbeat_ok\": %ld, \"heartbeat_failed\": %ld, \"retries\": %ld, "
                    "\"gave_up\": %ld, \"other_messages\": %ld, \"notices_seen\": %d, "
                    "\"most_notices_open\": %d}\n",
                    qPrintable(modeName), events(), static_cast<long long>(runClock.elapsed()),
                    counts.identifyTrue, counts.identifyFalse, counts.identifyFailed,
                    counts.heartbeatOk, counts.heartbeatFailed, counts.retriesScheduled,
                    counts.gaveUp, counts.otherMessages, noticeCloser.seen,
                    noticeCloser.mostOpenAtOnce);
        if (counts.otherMessages)
            std::fprintf(stderr, "bench_hostile: last other message: %s\n",
                         WindowLog::lastOther().c_str());
        std::fflush(stdout);
    }
    WindowLog::uninstall();
    return status;
}
