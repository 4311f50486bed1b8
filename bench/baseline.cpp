// The baseline for the start-up and memory figures: the least a Qt widget
// program does to show a window of the agent's size. Nothing else.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(220, 224);
    window.show();
    return app.exec();
}
