#ifndef MAINWINDOWFORM_H
#define MAINWINDOWFORM_H

class QLabel;
class QLineEdit;
class QMainWindow;
class QPushButton;
class QWidget;

// The login form of the main window. The widgets belong to the window's object
// tree; the record only points at them.
class MainWindowForm
{
public:
    QWidget *centralwidget = nullptr;
    QLineEdit *usernameLineEdit = nullptr;
    QLineEdit *passwordLineEdit = nullptr;
    QPushButton *loginButton = nullptr;
    QPushButton *sshButton = nullptr;
    QLabel *statusLabel = nullptr;

    void setupUi(QMainWindow *mainWindow);
    void retranslateUi(QMainWindow *mainWindow);
};

#endif // MAINWINDOWFORM_H
