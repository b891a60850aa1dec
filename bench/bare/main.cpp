// SPDX-License-Identifier: GPL-3.0-or-later
// The yardstick for the game's start-up and memory: the least a Qt Quick program can
// do, one view showing one 480×800 rectangle from compiled-in resources. Built twice,
// with the GUI-only application object and with the widgets one the game needs, so
// the widgets share of the game's cost can be told apart.
#ifdef BARE_WIDGETS
#include <QApplication>
using Application = QApplication;
#else
#include <QGuiApplication>
using Application = QGuiApplication;
#endif
#include <QDir>
#include <QQuickView>
#include <QStringList>

int main(int argc, char *argv[])
{
    Application app(argc, argv);
    QQuickView view;
    // Another scene may be named on the command line, to price one element at a time.
    const QStringList arguments = app.arguments();
    view.setSource(arguments.size() > 1 ? QUrl::fromUserInput(arguments.at(1), QDir::currentPath())
                                        : QUrl(QStringLiteral("qrc:/bare/main.qml")));
    // Full screen like the game, so both draw the same number of pixels.
    view.showFullScreen();
    return app.exec();
}
