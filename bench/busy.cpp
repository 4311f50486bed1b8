// The agent's own window kept busy, its intervals shortened through
// AgentSettings so that thousands of answers take under a minute. The service
// (set up by bench/busy.py) answers every identify poll true, or fails every
// heartbeat. Each identify notice is closed as a person would, by clicking OK,
// or in identify-open the first is left open to the end. Prints the process's
// resident memory once a second as JSON lines.
//
//     bench_busy URL identify|identify-open|heartbeat SECONDS
#include "app/mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>

namespace {

long statusKib(const QByteArray &status, const char *key)
{
    const int at = status.indexOf(key);
    return at < 0 ? -1 : status.mid(at + int(qstrlen(key))).trimmed().split(' ').first().toLong();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QString mode = argc == 4 ? QString::fromLatin1(argv[2]) : QString();
    const int seconds = argc == 4 ? std::atoi(argv[3]) : 0;
    if (seconds <= 0 || (mode != "identify" && mode != "identify-open" && mode != "heartbeat")) {
        std::fprintf(stderr, "usage: bench_busy URL identify|identify-open|heartbeat SECONDS\n");
        return 2;
    }
    const int never = 24 * 3600 * 1000;
    AgentSettings settings = AgentSettings::compiledIn();
    settings.serviceUrl = settings.publicAddressUrl = QString::fromLocal8Bit(argv[1]);
    settings.identifyIntervalMs = mode.startsWith("identify") ? 20 : never;
    settings.heartbeatIntervalMs = mode == "heartbeat" ? 20 : never;
    settings.retryDelayMs = 10;

    MainWindow window(settings);
    window.show();

    // Runs inside a notice's own event loop too, which is where it is needed.
    int closed = 0;
    QTimer closer;
    closer.callOnTimeout([&closed] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (box && box->isVisible()) {
                box->button(QMessageBox::Ok)->click();
                ++closed;
            }
        }
    });
    if (mode != "identify-open")
        closer.start(5);

    QElapsedTimer clock;
    clock.start();
    QTimer sampler;
    sampler.callOnTimeout([&] {
        QFile file(QStringLiteral("/proc/self/status"));
        file.open(QIODevice::ReadOnly);
        const QByteArray status = file.readAll();
        std::printf("{\"s\": %.3f, \"rss_kib\": %ld, \"hwm_kib\": %ld, \"closed\": %d}\n",
                    clock.elapsed() / 1000.0, statusKib(status, "VmRSS:"),
                    statusKib(status, "VmHWM:"), closed);
        std::fflush(stdout);
        // Ends every running event loop, an open notice's included.
        if (clock.elapsed() >= seconds * 1000LL)
            QCoreApplication::exit(0);
    });
    sampler.start(1000);
    return app.exec();
}
