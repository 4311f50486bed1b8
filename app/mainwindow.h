#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "agentsettings.h"

#include <QFile>
#include <QMainWindow>
#include <QPointer>

#include <memory>
#include <optional>

class MainWindowForm;
namespace Service {
class MemoryGuard;
struct PostRequest;
}
class QAudioOutput;
class QMediaPlayer;
class QMenu;
class QNetworkAccessManager;
class QNetworkReply;
class QSystemTrayIcon;
class QTimer;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    // Tests use their own settings; the program runs with the compiled-in ones.
    explicit MainWindow(const AgentSettings &settings, QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_sshButton_clicked();
    void attemptLogin();
    void renameDevice();
    void deleteDevice();
    void sendHeartbeat();
    void checkIdentifyStatus();

private:
    // Longer than the alert sound; a player still playing by then goes
    // whatever it reports.
    static constexpr int AlertLifetimeMs = 5000;
    // Alerts that overlap play side by side, up to this many at once.
    static constexpr int MaxAlertPlayers = 2;
    static constexpr QLatin1StringView AlertReleaseName{"alertRelease"};

    void createTrayIcon();
    void openLogFile();
    void startTimers();
    QString readMacAddress() const;
    std::optional<QString> fetchPublicAddress();

    using ReplyHandler = void (MainWindow::*)(QNetworkReply *);
    void post(const Service::PostRequest &message, ReplyHandler handler);
    void limit(QNetworkReply *reply, qint64 maxBodyBytes);
    void renewNetworkManager();

    void handleLoginReply(QNetworkReply *reply);
    void registerDevice(qint32 userId);
    void handleRegistrationReply(QNetworkReply *reply);
    void handleHeartbeatReply(QNetworkReply *reply);
    void handleIdentifyReply(QNetworkReply *reply);
    void playIdentifyAlert();
    QMediaPlayer *createAlertPlayer();
    void releaseAlert(QMediaPlayer *player, QAudioOutput *output);

    const AgentSettings settings;
    QFile logFile;
    const int retryDelayMs;
    const int heartbeatIntervalMs;
    int heartbeatRetryCount = 0;
    const int maxHeartbeatRetries = 3;
    const std::unique_ptr<MainWindowForm> ui;
    QNetworkAccessManager *networkManager = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    QTimer *heartbeatTimer = nullptr;
    QTimer *identifyTimer = nullptr;
    QString macAddress;

    Service::MemoryGuard *memoryGuard = nullptr;
    // At most one identify box open; the alert players, the latest played last.
    bool identifyNoticeOpen = false;
    QList<QPointer<QMediaPlayer>> alertPlayers;
};

#endif // MAINWINDOW_H
