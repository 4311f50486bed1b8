// The agent's form and nothing else: what any program showing these widgets
// pays before its window is up. The agent's start-up is measured against it.
#include "app/mainwindowform.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    MainWindowForm form;
    form.setupUi(&window);
    window.show();
    return app.exec();
}
