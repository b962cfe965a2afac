// qelvo-shot FILE.png: saves a picture of the whole X screen (for the headless demo).
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QScreen *s = QGuiApplication::primaryScreen();
    if (!s)
        return 1;
    return s->grabWindow(0).save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
