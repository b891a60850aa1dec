// SPDX-License-Identifier: GPL-3.0-or-later
#include "GamePresence.h"
#include "IsolatedHome.h"

#include <QSignalSpy>

using Platform = GamePresence::Platform;

Q_DECLARE_METATYPE(Platform)

// Whether the player can see the game, as the ad dialogs read it, through what a window
// manager or a compositor does to the game's window and the keyboard.
class PresenceTest : public QObject {
    Q_OBJECT

private slots:
    // Each step: "minimise" (the game's own, from its icon), "restore" (the window manager's,
    // or the game shown full screen again), "other" (another program's window takes the
    // keyboard), "game" (the keyboard comes back to the game), "dialog" (a window of the game's,
    // its ad, takes the keyboard), "wait" (longer than a compositor takes to answer a minimise).
    // Before the first and after each, whether the game counts as seen, 'y' or 'n'.
    void seenAsThePlatformTellsIt_data()
    {
        QTest::addColumn<Platform>("platform");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("seen");
        const Platform x11 = Platform::ReportsMinimise;
        const Platform wayland = Platform::TellsNothing;
        QTest::newRow("x11: minimised and restored") << x11 << QStringList { "minimise", "restore" } << "yny";
        // X11 tells of the state: the keyboard elsewhere does not hide the game.
        QTest::newRow("x11: keyboard elsewhere") << x11 << QStringList { "other", "game" } << "yyy";
        QTest::newRow("wayland: minimised until the keyboard is back")
            << wayland << QStringList { "minimise", "other", "wait", "restore", "game" } << "ynnnny";
        // A kiosk ignores the minimise and leaves the keyboard where it was.
        QTest::newRow("wayland: minimise unanswered") << wayland << QStringList { "minimise", "wait" } << "yny";
        // The game's own ad dialog has the keyboard: the keyboard has not left the game.
        QTest::newRow("wayland: the ad has the keyboard")
            << wayland << QStringList { "dialog", "minimise", "wait" } << "yyny";
        // The compositor's minimise, or another program raised over the game: only the
        // keyboard tells.
        QTest::newRow("wayland: keyboard elsewhere") << wayland << QStringList { "other", "game" } << "yny";
    }

    void seenAsThePlatformTellsIt()
    {
        QFETCH(Platform, platform);
        QFETCH(QStringList, steps);
        QFETCH(QString, seen);
        QWindow game;
        game.setGeometry(0, 0, 480, 800);
        game.show();
        QVERIFY(QTest::qWaitForWindowActive(&game));
        QWindow other;
        other.setGeometry(100, 100, 200, 200);
        QWindow dialog;
        dialog.setTransientParent(&game);
        dialog.setGeometry(100, 100, 200, 200);

        GamePresence presence(&game, platform);
        QSignalSpy hidden(&presence, &GamePresence::gameHidden);
        QSignalSpy back(&presence, &GamePresence::gameBack);
        const auto activate = [](QWindow &window) {
            window.show();
            window.requestActivate();
            return QTest::qWaitForWindowActive(&window);
        };
        QString told = presence.playerSeesGame() ? "y" : "n";
        for (const QString &step : steps) {
            if (step == "minimise") {
                game.setWindowStates(game.windowStates() | Qt::WindowMinimized);
            } else if (step == "restore") {
                game.setWindowStates(Qt::WindowFullScreen);
            } else if (step == "other") {
                QVERIFY(activate(other));
            } else if (step == "game") {
                QVERIFY(activate(game));
            } else if (step == "dialog") {
                QVERIFY(activate(dialog));
            } else if (step == "wait") {
                // The presence decides on its own timer, within a second; what it decided
                // is what is checked, so a loaded machine only makes the wait longer.
                (void)QTest::qWaitFor([&] { return presence.playerSeesGame(); }, 5000);
            }
            told += presence.playerSeesGame() ? "y" : "n";
        }
        QCOMPARE(told, seen);
        // Every change was told once, as it happened.
        QCOMPARE(hidden.size(), seen.count("yn"));
        QCOMPARE(back.size(), seen.count("ny"));
    }
};

TAMBORO_TEST_MAIN(PresenceTest)
#include "tst_presence.moc"
