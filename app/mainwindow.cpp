#include "mainwindow.h"
#include "mainwindowform.h"

#include "identity/machineidentity.h"
#include "launcher/sshlauncher.h"
#include "service/heartbeatretry.h"
#include "service/memoryguard.h"
#include "service/replyguard.h"
#include "service/serviceprotocol.h"
#include "service/trust.h"

#include <QAction>
#include <QApplication>
#include <QAudioOutput>
#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMediaPlayer>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>

MainWindow::MainWindow(QWidget *parent)
    : MainWindow(AgentSettings::compiledIn(), parent)
{
}

MainWindow::MainWindow(const AgentSettings &settings, QWidget *parent)
    : QMainWindow(parent)
    , settings(settings)
    , retryDelayMs(settings.retryDelayMs)
    , heartbeatIntervalMs(settings.heartbeatIntervalMs)
    , ui(new MainWindowForm)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/resources/icon.ico")));
    createTrayIcon();
    openLogFile();
    startTimers();

    macAddress = readMacAddress();
    networkManager = new QNetworkAccessManager(this);
    memoryGuard = new Service::MemoryGuard(settings.maxMemoryRiseBytes, this);
    connect(ui->loginButton, &QPushButton::clicked, this, &MainWindow::attemptLogin);
}

MainWindow::~MainWindow()
{
    // An alert still playing goes the way every alert goes, before the children.
    for (QMediaPlayer *player : findChildren<QMediaPlayer *>(Qt::FindDirectChildrenOnly))
        releaseAlert(player, player->audioOutput());
}

void MainWindow::createTrayIcon()
{
    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/resources/icon.ico")), this);

    trayMenu = new QMenu(this);
    QAction *showAction = trayMenu->addAction(QStringLiteral("Show"));
    connect(showAction, &QAction::triggered, this, [this] { show(); });
    QAction *quitAction = trayMenu->addAction(QStringLiteral("Quit"));
    connect(quitAction, SIGNAL(triggered()), qApp, SLOT(quit()));

    trayIcon->setContextMenu(trayMenu);
    trayIcon->show();
}

// The heartbeat log is created if absent and held open for the window's life.
void MainWindow::openLogFile()
{
    const QString directory = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (directory.isEmpty())
        return;  // never fall back to a path relative to the file system's root
    logFile.setFileName(directory + QStringLiteral("/heartbeat_log.txt"));
    QDir().mkpath(QFileInfo(logFile).absolutePath());
    // A log that cannot be opened stays closed; nothing depends on it.
    if (!logFile.open(QIODevice::Append | QIODevice::Text))
        return;
}

void MainWindow::startTimers()
{
    heartbeatTimer = new QTimer(this);
    connect(heartbeatTimer, &QTimer::timeout, this, &MainWindow::sendHeartbeat);
    heartbeatTimer->start(heartbeatIntervalMs);

    identifyTimer = new QTimer(this);
    connect(identifyTimer, &QTimer::timeout, this, &MainWindow::checkIdentifyStatus);
    identifyTimer->start(settings.identifyIntervalMs);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Only the user's own close hides the window. A close that the program
    // asks for goes through: Quit closes every window first, and refusing
    // here would refuse the quit. Hiding is only safe while a tray offers the
    // way back and the way out.
    if (event->spontaneous() && trayIcon && trayIcon->isVisible()
        && QSystemTrayIcon::isSystemTrayAvailable()) {
        hide();
        event->ignore();
    } else {
        event->accept();
    }
}

// Posts a message and hands its reply, once finished, to handler, which ends by
// scheduling the reply's deletion. The connection ends with the window.
// Compiled-in roots are trusted just before the first request: that loads the
// system's roots too, a moment that start-up need not pay.
void MainWindow::post(const Service::PostRequest &message, ReplyHandler handler)
{
    Service::trustCompiledInCertificates();
    QNetworkReply *reply = networkManager->post(message.request, message.body);
    limit(reply, Service::MaxServiceReplyBytes);
    connect(reply, &QNetworkReply::finished, this, [this, reply, handler] { (this->*handler)(reply); });
}

// Holds a reply just posted to the limits every reply is held to.
//
// Qt keeps a connection whose TLS handshake the peer never answers (a service
// that accepts connections but is down), and queues later requests to that
// origin behind it instead of opening another: after an outage every request
// would wait until the peer closed it. So a request that ends, given up,
// without ever having been sent is taken for such a connection and retires
// the manager: later requests start on fresh connections, and the old
// manager goes once its last reply has. A handshake that is merely slow ends
// in a request sent, and its connection serves the requests after it.
// (clearConnectionCache() would strand the replies in flight: they never
// finish.)
void MainWindow::limit(QNetworkReply *reply, qint64 maxBodyBytes)
{
    Service::limitReply(reply, { settings.requestDeadlineMs, maxBodyBytes }, memoryGuard);

    auto sent = std::make_shared<bool>(false);
    connect(reply, &QNetworkReply::requestSent, this, [sent] { *sent = true; });
    connect(reply, &QNetworkReply::finished, this, [this, reply, sent] {
        const QNetworkReply::NetworkError error = reply->error();
        const bool givenUp = error == QNetworkReply::OperationCanceledError
                || error == QNetworkReply::TimeoutError;
        if (!*sent && givenUp && reply->manager() == networkManager)
            renewNetworkManager();
    });
}

void MainWindow::renewNetworkManager()
{
    QNetworkAccessManager *retired = networkManager;
    networkManager = new QNetworkAccessManager(this);

    // The reply just given up is among them.
    const QList<QNetworkReply *> replies = retired->findChildren<QNetworkReply *>(Qt::FindDirectChildrenOnly);
    auto remaining = std::make_shared<qsizetype>(replies.size());
    for (QNetworkReply *reply : replies) {
        connect(reply, &QObject::destroyed, retired, [retired, remaining] {
            if (--*remaining == 0)
                retired->deleteLater();
        });
    }
}

QString MainWindow::readMacAddress() const
{
    return Identity::macAddressText();
}

// Waits for the lookup in a local event loop: timers, other replies and user
// input go on being served meanwhile. Gives nothing when the wait ended
// because the application is quitting: then nothing may follow the lookup.
std::optional<QString> MainWindow::fetchPublicAddress()
{
    Service::trustCompiledInCertificates();
    QNetworkReply *reply = networkManager->get(
            Service::publicAddressRequest(settings.publicAddressUrl, settings.transferTimeoutMs));
    limit(reply, Identity::MaxPublicAddressReplyBytes);

    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();

    // The deadline finishes every reply, so an unfinished one means that
    // quitting the application ended the loop.
    if (!reply->isFinished()) {
        reply->abort();
        reply->deleteLater();
        return std::nullopt;
    }
    // An aborted reply is closed: only a good one has a body to read.
    const bool answered = reply->error() == QNetworkReply::NoError;
    const QString address = Identity::publicAddressFromReply(answered, answered ? reply->readAll() : QByteArray());
    reply->deleteLater();
    return address;
}

void MainWindow::on_sshButton_clicked()
{
    const std::optional<QString> address = fetchPublicAddress();
    if (!address)
        return;
    if (QFile::exists(settings.sshClientPath)) {
        Launcher::startSshClient(settings.sshClientPath, *address);
    } else {
        QMessageBox::warning(this, QStringLiteral("PuTTY Not Found"),
                             QStringLiteral("PuTTY not found at default path."),
                             QMessageBox::Ok, QMessageBox::NoButton);
    }
}

void MainWindow::attemptLogin()
{
    post(Service::loginRequest(settings.serviceUrl, ui->usernameLineEdit->text(),
                               ui->passwordLineEdit->text(), settings.transferTimeoutMs),
         &MainWindow::handleLoginReply);
}

void MainWindow::handleLoginReply(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError) {
        ui->statusLabel->setText(QStringLiteral("Network error."));
        qDebug() << "Login error:" << reply->errorString();
    } else {
        const Service::LoginResult result = Service::readLoginReply(reply->readAll());
        if (!result.success)
            ui->statusLabel->setText(QStringLiteral("Login failed."));
        else
            registerDevice(result.userId);
    }
    reply->deleteLater();
}

void MainWindow::registerDevice(qint32 userId)
{
    const std::optional<QString> publicAddress = fetchPublicAddress();
    if (!publicAddress)
        return;
    post(Service::deviceRegistrationRequest(settings.serviceUrl, userId,
                                            Identity::reportedHostName(), Identity::osName(),
                                            *publicAddress, macAddress, settings.transferTimeoutMs),
         &MainWindow::handleRegistrationReply);
}

void MainWindow::handleRegistrationReply(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError) {
        ui->statusLabel->setText(QStringLiteral("Login OK, but device not uploaded."));
        qDebug() << "Device upload error:" << reply->errorString();
    } else {
        ui->statusLabel->setText(QStringLiteral("Login successful. Device registered."));
    }
    reply->deleteLater();
}

void MainWindow::renameDevice()
{
    QMessageBox::information(this, QStringLiteral("Rename"),
                             QStringLiteral("Rename device not implemented."),
                             QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWindow::deleteDevice()
{
    QMessageBox::information(this, QStringLiteral("Delete"),
                             QStringLiteral("Delete device not implemented."),
                             QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWindow::sendHeartbeat()
{
    post(Service::heartbeatRequest(settings.serviceUrl, Identity::deviceName(), macAddress,
                                   settings.transferTimeoutMs),
         &MainWindow::handleHeartbeatReply);
}

void MainWindow::handleHeartbeatReply(QNetworkReply *reply)
{
    if (reply->error() == QNetworkReply::NoError) {
        qDebug() << "Heartbeat sent successfully.";
        heartbeatRetryCount = 0;
    } else {
        qWarning() << "Heartbeat failed:" << reply->errorString();
        const Service::HeartbeatRetryDecision decision =
                Service::afterHeartbeatFailure(heartbeatRetryCount, maxHeartbeatRetries);
        heartbeatRetryCount = decision.failures;
        if (decision.retry) {
            qDebug() << "Retrying heartbeat in 10 seconds... Attempt" << heartbeatRetryCount;
            QTimer::singleShot(retryDelayMs, Qt::CoarseTimer, this, &MainWindow::sendHeartbeat);
        } else {
            qWarning() << "Max heartbeat retries reached. Giving up.";
        }
    }
    reply->deleteLater();
}

void MainWindow::checkIdentifyStatus()
{
    post(Service::identifyPollRequest(settings.serviceUrl, Identity::deviceName(), macAddress,
                                      settings.transferTimeoutMs),
         &MainWindow::handleIdentifyReply);
}

void MainWindow::handleIdentifyReply(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError) {
        qDebug() << "Identify check failed:" << reply->errorString();
    } else {
        const bool identify = Service::readIdentifyReply(reply->readAll());
        qDebug() << "Identify status:" << identify;
        // A request that comes again while the notice is open replays the
        // sound but does not stack a second box.
        if (identify) {
            playIdentifyAlert();
            if (!identifyNoticeOpen) {
                identifyNoticeOpen = true;
                QMessageBox::information(this, QStringLiteral("Identify"),
                                         QStringLiteral("Device identification requested!"),
                                         QMessageBox::Ok, QMessageBox::NoButton);
                identifyNoticeOpen = false;
            }
        }
    }
    reply->deleteLater();
}

// Alerts that overlap each play, on players of their own (two at most: a
// third restarts the one that has played longest). A player whose sound has
// ended waits alertKeptMs for the next alert, then goes with its output and
// whatever the media back end made for them: an alert costs nothing once a
// service stops asking. Replaying one player matters where a service asks at
// every poll: each new one leaves kilobytes behind in the back end (GStreamer
// on Linux, Media Foundation under wine), and that would grow without end.
void MainWindow::playIdentifyAlert()
{
    alertPlayers.removeIf([](const QPointer<QMediaPlayer> &player) { return player.isNull(); });
    QMediaPlayer *player = nullptr;
    for (QMediaPlayer *kept : std::as_const(alertPlayers)) {
        if (kept->playbackState() != QMediaPlayer::PlayingState) {
            player = kept;
            break;
        }
    }
    if (!player && alertPlayers.size() >= MaxAlertPlayers)
        player = alertPlayers.constFirst();
    if (!player)
        player = createAlertPlayer();
    alertPlayers.removeAll(player);
    alertPlayers.append(player);

    player->findChild<QTimer *>(AlertReleaseName, Qt::FindDirectChildrenOnly)->start(AlertLifetimeMs);
    player->stop();  // from the start, also when it still plays
    player->play();
}

QMediaPlayer *MainWindow::createAlertPlayer()
{
    auto *player = new QMediaPlayer(this);
    auto *output = new QAudioOutput(this);
    output->setVolume(1.0f);
    player->setAudioOutput(output);
    player->setSource(QUrl(QStringLiteral("qrc:/resources/mailsound.mp3"), QUrl::TolerantMode));

    // A child of the player: it goes with the player, and never fires after.
    // The player is released from the event loop, not within its own signal.
    auto *release = new QTimer(player);
    release->setObjectName(AlertReleaseName);
    release->setSingleShot(true);
    connect(release, &QTimer::timeout, this, [this, player = QPointer<QMediaPlayer>(player),
                                              output = QPointer<QAudioOutput>(output)] {
        releaseAlert(player, output);
    });
    connect(player, &QMediaPlayer::mediaStatusChanged, this, [this, release](QMediaPlayer::MediaStatus status) {
        if (status == QMediaPlayer::EndOfMedia)
            release->start(settings.alertKeptMs);
        else if (status == QMediaPlayer::InvalidMedia)
            release->start(0);
    });
    connect(player, &QMediaPlayer::errorOccurred, this, [release] { release->start(0); });
    return player;
}

void MainWindow::releaseAlert(QMediaPlayer *player, QAudioOutput *output)
{
    if (player) {
        alertPlayers.removeAll(player);
        // Qt 6.4's GStreamer back end can crash when a player is destroyed
        // with its pipeline still loaded, so it is unloaded first.
        player->disconnect(this);
        player->stop();
        player->setSource(QUrl());
        player->deleteLater();
    }
    if (output)
        output->deleteLater();
}
