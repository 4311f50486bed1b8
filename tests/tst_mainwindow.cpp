// The window as built: form, slot table, tray menu, close rule, log file, timers.

#include "app/mainwindow.h"
#include "common/useractions.h"
#include "app/mainwindowform.h"
#include "common/messageboxwatcher.h"

#include <QAction>
#include <QFontMetrics>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMetaMethod>
#include <QPushButton>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void form_data();
    void form();
    void formTexts();
    void statusTextsReadInFull_data();
    void statusTextsReadInFull();
    void objectNameKeptWhenSet();
    void slotTable();
    void trayMenu();
    void closeWithoutTrayEndsTheWindow();
    void showAfterHideKeepsTheForm();
    void quitEndsTheEventLoop();
    void notices_data();
    void notices();
    void timers();
    void logFileCreatedAndNotTruncated();
};

void tst_MainWindow::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void tst_MainWindow::form_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("user name") << "usernameLineEdit" << "QLineEdit" << QRect(10, 40, 200, 30);
    QTest::newRow("password") << "passwordLineEdit" << "QLineEdit" << QRect(10, 80, 200, 30);
    QTest::newRow("login") << "loginButton" << "QPushButton" << QRect(10, 120, 200, 30);
    QTest::newRow("status") << "statusLabel" << "QLabel" << QRect(10, 160, 200, 30);
    QTest::newRow("ssh") << "sshButton" << "QPushButton" << QRect(10, 190, 200, 30);
}

void tst_MainWindow::form()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.size(), QSize(220, 224));
    QWidget *central = window.centralWidget();
    QVERIFY(central);
    QCOMPARE(central->objectName(), QStringLiteral("centralwidget"));

    auto *widget = window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->metaObject()->className(), className.toLatin1());
    QCOMPARE(widget->parentWidget(), central);
    QCOMPARE(widget->geometry(), geometry);
    QVERIFY(widget->isVisible());
    QVERIFY(widget->isEnabled());
    // Every widget lies inside the window, and no button hides under another widget.
    QVERIFY(central->rect().contains(widget->geometry()));
    if (qobject_cast<QPushButton *>(widget)) {
        const QPoint centre = widget->geometry().center();
        QCOMPARE(central->childAt(centre), widget);
    }
}

void tst_MainWindow::formTexts()
{
    MainWindow window;
    auto *username = window.findChild<QLineEdit *>("usernameLineEdit");
    auto *password = window.findChild<QLineEdit *>("passwordLineEdit");
    QCOMPARE(window.windowTitle(), QStringLiteral("Tessaly"));
    QCOMPARE(username->placeholderText(), QStringLiteral("Username"));
    QCOMPARE(password->placeholderText(), QStringLiteral("Password"));
    QCOMPARE(username->echoMode(), QLineEdit::Normal);
    QCOMPARE(password->echoMode(), QLineEdit::Password);
    QCOMPARE(window.findChild<QPushButton *>("loginButton")->text(), QStringLiteral("Login"));
    QCOMPARE(window.findChild<QPushButton *>("sshButton")->text(), QStringLiteral("SSH with PuTTY"));
    QCOMPARE(window.findChild<QLabel *>("statusLabel")->text(), QStringLiteral("Status"));
    QVERIFY(username->text().isEmpty());
    QVERIFY(password->text().isEmpty());
    QVERIFY(!window.windowIcon().isNull());

    // Typed characters are masked in the password field only.
    password->setText("secret");
    QVERIFY(password->displayText() != QStringLiteral("secret"));
    username->setText("alice");
    QCOMPARE(username->displayText(), QStringLiteral("alice"));
}

void tst_MainWindow::statusTextsReadInFull_data()
{
    QTest::addColumn<QString>("text");
    for (const char *text : { "Status", "Network error.", "Login failed.",
                              "Login OK, but device not uploaded.",
                              "Login successful. Device registered." })
        QTest::newRow(text) << QString::fromLatin1(text);
}

// Every text the login can leave in the status label fits its rectangle, laid
// out the way the label lays it out, in the font it has.
void tst_MainWindow::statusTextsReadInFull()
{
    QFETCH(QString, text);

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *label = window.findChild<QLabel *>("statusLabel");
    label->setText(text);

    const QRect room = label->contentsRect();
    const int flags = int(label->alignment()) | (label->wordWrap() ? int(Qt::TextWordWrap) : 0);
    const QRect needed = QFontMetrics(label->font()).boundingRect(room, flags, text);
    QVERIFY2(room.contains(needed),
             qPrintable(QStringLiteral("needs %1 x %2 of %3 x %4 in %5")
                        .arg(needed.width()).arg(needed.height()).arg(room.width())
                        .arg(room.height()).arg(label->font().toString())));
}

void tst_MainWindow::objectNameKeptWhenSet()
{
    QMainWindow named;
    named.setObjectName("Preset");
    MainWindowForm namedForm;
    namedForm.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("Preset"));

    QMainWindow unnamed;
    MainWindowForm unnamedForm;
    unnamedForm.setupUi(&unnamed);
    QCOMPARE(unnamed.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(unnamed.centralWidget(), unnamedForm.centralwidget);
}

void tst_MainWindow::slotTable()
{
    const QMetaObject *meta = &MainWindow::staticMetaObject;
    QCOMPARE(meta->className(), "MainWindow");
    QCOMPARE(meta->superClass(), &QMainWindow::staticMetaObject);

    const QList<QByteArray> expected{ "on_sshButton_clicked()", "attemptLogin()", "renameDevice()",
                                      "deleteDevice()", "sendHeartbeat()", "checkIdentifyStatus()" };
    QCOMPARE(meta->methodCount() - meta->methodOffset(), int(expected.size()));
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected.at(i));
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
    }
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
    QCOMPARE(meta->enumeratorCount(), meta->enumeratorOffset());
    QCOMPARE(meta->classInfoCount(), meta->classInfoOffset());
    QCOMPARE(meta->constructorCount(), 0);
}

static QAction *trayAction(MainWindow &window, const QString &text)
{
    const auto *tray = window.findChild<QSystemTrayIcon *>();
    if (!tray || !tray->contextMenu())
        return nullptr;
    for (QAction *action : tray->contextMenu()->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

void tst_MainWindow::trayMenu()
{
    MainWindow window;
    auto *tray = window.findChild<QSystemTrayIcon *>();
    QVERIFY(tray);
    QCOMPARE(tray->parent(), &window);
    QVERIFY(tray->isVisible());
    QVERIFY(!tray->icon().isNull());
    QMenu *menu = tray->contextMenu();
    QVERIFY(menu);
    QCOMPARE(menu->parent(), &window);
    QStringList texts;
    for (QAction *action : menu->actions())
        texts.append(action->text());
    QCOMPARE(texts, (QStringList{ "Show", "Quit" }));
}

void tst_MainWindow::closeWithoutTrayEndsTheWindow()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("this platform has a system tray; the tray case runs under X with a real tray");

    // The icon reports itself visible, but with no tray a hidden window could
    // never come back: the close goes through.
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(window.findChild<QSystemTrayIcon *>()->isVisible());
    QVERIFY(closeAsUser(window));
    QVERIFY(!window.isVisible());
}

void tst_MainWindow::showAfterHideKeepsTheForm()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.findChild<QLineEdit *>("usernameLineEdit")->setText("alice");
    window.findChild<QLineEdit *>("passwordLineEdit")->setText("secret");

    window.hide();
    QAction *show = trayAction(window, "Show");
    QVERIFY(show);
    show->trigger();
    QVERIFY(window.isVisible());
    QCOMPARE(window.findChild<QLineEdit *>("usernameLineEdit")->text(), QStringLiteral("alice"));
    QCOMPARE(window.findChild<QLineEdit *>("passwordLineEdit")->text(), QStringLiteral("secret"));
    QCOMPARE(window.findChild<QLabel *>("statusLabel")->text(), QStringLiteral("Status"));
}

void tst_MainWindow::quitEndsTheEventLoop()
{
    MainWindow window;
    window.show();
    QAction *quit = trayAction(window, "Quit");
    QVERIFY(quit);
    QTimer::singleShot(0, quit, &QAction::trigger);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    watchdog.start(10000);
    QCOMPARE(QApplication::exec(), 0);
}

void tst_MainWindow::notices_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");

    QTest::newRow("rename") << QByteArray("renameDevice") << "Rename" << "Rename device not implemented.";
    QTest::newRow("delete") << QByteArray("deleteDevice") << "Delete" << "Delete device not implemented.";
}

void tst_MainWindow::notices()
{
    QFETCH(QByteArray, slot);
    QFETCH(QString, title);
    QFETCH(QString, text);

    MainWindow window;
    window.show();
    window.findChild<QLineEdit *>("usernameLineEdit")->setText("alice");
    MessageBoxWatcher watcher;
    QVERIFY(QMetaObject::invokeMethod(&window, slot.constData(), Qt::QueuedConnection));
    QTRY_COMPARE(watcher.seen().size(), 1);
    QTRY_COMPARE(watcher.openCount(), 0);

    const MessageBoxWatcher::Seen box = watcher.seen().constFirst();
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, text);
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, &window);
    QCOMPARE(window.findChild<QLineEdit *>("usernameLineEdit")->text(), QStringLiteral("alice"));
    QCOMPARE(window.findChild<QLabel *>("statusLabel")->text(), QStringLiteral("Status"));
}

void tst_MainWindow::timers()
{
    MainWindow window;
    QList<QTimer *> timers = window.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(timers.size(), 2);
    std::sort(timers.begin(), timers.end(),
              [](QTimer *a, QTimer *b) { return a->interval() > b->interval(); });
    QCOMPARE(timers.at(0)->interval(), 300000);
    QCOMPARE(timers.at(1)->interval(), 15000);
    for (QTimer *timer : timers) {
        QVERIFY(timer->isActive());
        QVERIFY(!timer->isSingleShot());
        QCOMPARE(timer->timerType(), Qt::CoarseTimer);
    }
}

void tst_MainWindow::logFileCreatedAndNotTruncated()
{
    const QString path = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
            + QStringLiteral("/heartbeat_log.txt");
    QFile::remove(path);
    QVERIFY(!QFile::exists(path));

    {
        MainWindow window;
        QVERIFY(QFile::exists(path));
        QCOMPARE(QFileInfo(path).size(), 0);
    }
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        file.write("earlier run\n");
    }
    {
        MainWindow window;
        MainWindow second;
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("earlier run\n"));
    }
    QFile::remove(path);
}

QTEST_MAIN(tst_MainWindow)

#include "tst_mainwindow.moc"
