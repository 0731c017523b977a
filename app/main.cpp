#include "ui/frmMain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvik"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.tarvik.Tarvik"));
    QApplication::setStyle(QStringLiteral("Fusion"));
    frmMain window;
    window.show();
    return QApplication::exec();
}
