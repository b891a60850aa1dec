// SPDX-License-Identifier: GPL-3.0-or-later
#include "Ad.h"
#include "AppData.h"
#include "DesktopWindow.h"
#include "Fonts.h"
#include "PortraitFit.h"
#include "QuitSignals.h"
#include "SceneLoader.h"
#include "SceneNetwork.h"
#include "ScoreStore.h"

#include <QApplication>
#include <QQmlContext>
#include <QQuickView>

int main(int argc, char *argv[])
{
    // Before the view exists: the scene engine names its offline storage, which holds
    // the high scores, after the application.
    QCoreApplication::setApplicationName(QStringLiteral("Tamboro 2.0"));
    QApplication app(argc, argv);
    quitOnTerminationSignals();
    substituteMissingFonts();
    nameApplicationForDesktop();
    QQuickView view;
    // Shown in any frame the window gets, and WM_NAME under X11, which Qt leaves empty without it.
    view.setTitle(QCoreApplication::applicationName());
    addFullScreenKey(view, portraitSceneSize());

    AppData appData;
    view.rootContext()->setContextProperty(QStringLiteral("appData"), &appData);

    Ad advertisement;
    advertisement.setGameWindow(&view, [&view] { return portraitScale(view.size()); });
    advertisement.startAd();
    view.rootContext()->setContextProperty(QStringLiteral("advertisement"), &advertisement);

    guardSceneNetwork(*view.engine());
    prepareScoreStore(*view.engine());
    keepPortrait(view);
    if (!loadScene(view, QUrl(QStringLiteral("qrc:/resources/main.qml"))))
        return 1;
    view.showFullScreen();
    writeWaitingScoresAtQuit(view);

    return app.exec();
}
