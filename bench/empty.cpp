// The floor of any Qt widget program: one empty window of the agent's size,
// under the agent's title so that the start-up watcher knows it.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(220, 224);
    window.setWindowTitle(QStringLiteral("Tessaly"));
    window.show();
    return app.exec();
}
