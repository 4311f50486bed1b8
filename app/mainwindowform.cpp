#include "mainwindowform.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMetaObject>
#include <QPushButton>

void MainWindowForm::setupUi(QMainWindow *mainWindow)
{
    if (mainWindow->objectName().isEmpty())
        mainWindow->setObjectName("MainWindow");
    mainWindow->resize(220, 224);

    centralwidget = new QWidget(mainWindow);
    centralwidget->setObjectName("centralwidget");

    usernameLineEdit = new QLineEdit(centralwidget);
    usernameLineEdit->setObjectName("usernameLineEdit");
    usernameLineEdit->setGeometry(10, 40, 200, 30);

    passwordLineEdit = new QLineEdit(centralwidget);
    passwordLineEdit->setObjectName("passwordLineEdit");
    passwordLineEdit->setGeometry(10, 80, 200, 30);
    passwordLineEdit->setEchoMode(QLineEdit::Password);

    loginButton = new QPushButton(centralwidget);
    loginButton->setObjectName("loginButton");
    loginButton->setGeometry(10, 120, 200, 30);

    // Below the status label, the one free strip of the window.
    sshButton = new QPushButton(centralwidget);
    sshButton->setObjectName("sshButton");
    sshButton->setGeometry(10, 190, 200, 30);

    statusLabel = new QLabel(centralwidget);
    statusLabel->setObjectName("statusLabel");
    statusLabel->setGeometry(10, 160, 200, 30);
    // The outcomes are longer than one line of the label.
    statusLabel->setWordWrap(true);

    mainWindow->setCentralWidget(centralwidget);

    retranslateUi(mainWindow);

    QMetaObject::connectSlotsByName(mainWindow);
}

void MainWindowForm::retranslateUi(QMainWindow *mainWindow)
{
    mainWindow->setWindowTitle(QCoreApplication::translate("MainWindow", "Tessaly", nullptr));
    usernameLineEdit->setPlaceholderText(QCoreApplication::translate("MainWindow", "Username", nullptr));
    passwordLineEdit->setPlaceholderText(QCoreApplication::translate("MainWindow", "Password", nullptr));
    loginButton->setText(QCoreApplication::translate("MainWindow", "Login", nullptr));
    sshButton->setText(QCoreApplication::translate("MainWindow", "SSH with PuTTY", nullptr));
    statusLabel->setText(QCoreApplication::translate("MainWindow", "Status", nullptr));
}
