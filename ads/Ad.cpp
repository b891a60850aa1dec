// SPDX-License-Identifier: GPL-3.0-or-later
#include "Ad.h"
#include "QuillonAdDialog.h"
#include "QuillonAdModule.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QWidget>

namespace {

const QString ApplicationId = QStringLiteral("Kelto_Tamboro_Qt");
const QString Category = QStringLiteral("Games");
const QString Keywords
    = QStringLiteral("games,arcade,action,boxing,jungle,ape,monkey,touch,move,sports,adventure,classic,fun,free");

// Ads are renewed only when the player goes through to one; a timer would show a new ad
// before the player has seen the last one.
constexpr unsigned ReloadSeconds = 0;
constexpr int CountdownSeconds = 10;

enum ParameterSlot { PortalSlot = 0, KeywordsSlot = 5, CategorySlot = 6 };

// Whether the platform tells a window that it was minimised and restored. Wayland does not:
// a compositor only hears the request and never answers it.
bool platformReportsMinimised()
{
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

// How long a Wayland compositor may take to take the keyboard from a game it minimises. One
// that keeps the game on the screen (a kiosk) never does, and a held dialog shows then.
constexpr int MinimiseUnansweredMs = 1000;

} // namespace

// While it lives, every ad dialog shown gets the game's window as its window's transient
// parent and the game's title, and is drawn at the scene's scale. The dialog is built and run
// inside the module, so this watches for its show event, which comes after its window exists
// and before the window is mapped and placed. When the last dialog has closed, the keyboard
// goes back to the game.
class Ad::TransientForGame : public QObject {
public:
    explicit TransientForGame(Ad *ad)
        : game(ad->gameWindow)
        , sceneScale(ad->sceneScale)
        , gameAway(ad->gameAway)
    {
        if (!game)
            return;
        QCoreApplication::instance()->installEventFilter(this);
        if (platformReportsMinimised()) {
            // A dialog asked for right after the game was minimised waits, minimised with it,
            // for the player to come back. The desktop may confirm the game's minimised state
            // only after the dialog has shown, so the dialogs follow that too.
            connect(game, &QWindow::windowStateChanged, this, [this](Qt::WindowState state) {
                if (state == Qt::WindowMinimized)
                    minimiseDialogs();
            });
        } else {
            connect(ad, &Ad::gameReturned, this, &TransientForGame::showHeld);
        }
    }

    ~TransientForGame() override
    {
        // A dialog under this one is still open: the keyboard stays with it. A game that is
        // still minimised stays so.
        if (!game || dialogs.isEmpty() || QGuiApplication::modalWindow() || !game->isVisible()
            || (game->windowStates() & Qt::WindowMinimized) || gameAway.away)
            return;
        game->requestActivate();
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // A show the window manager reports (the dialog restored with the game), or a held
        // dialog shown at last, finds the dialog already placed and belonging to the game.
        if (event->type() != QEvent::Show || event->spontaneous() || placing)
            return false;
        auto *dialog = qobject_cast<QuillonAdDialog *>(watched);
        if (!dialog || !dialog->isWindow() || dialog->parentWidget() || !dialog->windowHandle()
            || dialogs.contains(dialog->windowHandle()))
            return false;
        dialogs.append(dialog->windowHandle());
        dialog->windowHandle()->setTransientParent(game);
        dialog->setWindowTitle(game->title());
        if (sceneScale)
            dialog->setScale(sceneScale());
        centreOnGame(dialog);
        const bool minimised = game->windowStates() & Qt::WindowMinimized;
        if (!platformReportsMinimised()) {
            if (minimised || gameAway.away)
                holdUntilGameReturns(dialog);
            return false;
        }
        if (!minimised)
            return false;
        // Asked for while the game is minimised, the dialog is mapped minimised: mapped as a
        // normal window, its activation would bring the game back with it. Moving or
        // resizing a window takes it out of its minimised state, so the dialog is placed and
        // its window given the dialog's geometry first.
        placing = true;
        QCoreApplication::sendEvent(dialog, event);
        placing = false;
        dialog->windowHandle()->setGeometry(dialog->geometry());
        dialog->setWindowState(dialog->windowState() | Qt::WindowMinimized);
        return true;
    }

private:
    // Where a client may place its windows (X11), the dialog sits in the middle of the game,
    // kept on the game's screen; a Wayland compositor places it itself.
    void centreOnGame(QWidget *dialog) const
    {
        const QRect screen = game->screen()->availableGeometry();
        QRect frame(QPoint(), dialog->frameGeometry().size());
        frame.moveCenter(game->geometry().center());
        frame.moveLeft(qBound(screen.left(), frame.left(), qMax(screen.left(), screen.right() - frame.width() + 1)));
        frame.moveTop(qBound(screen.top(), frame.top(), qMax(screen.top(), screen.bottom() - frame.height() + 1)));
        dialog->move(frame.topLeft());
    }

    void minimiseDialogs()
    {
        for (QWindow *window : std::as_const(dialogs)) {
            if (window && window->isVisible())
                window->setWindowStates(window->windowStates() | Qt::WindowMinimized);
        }
    }

    // A Wayland compositor keeps a window mapped under a minimised game out of sight, yet
    // gives it the keyboard, and the player could not bring the game back past it. So the
    // dialog runs (its countdown too) but stays off the screen until the game has the
    // keyboard again: the player brought it back, and the dialog shows above it.
    void holdUntilGameReturns(QWidget *dialog)
    {
        dialog->setAttribute(Qt::WA_DontShowOnScreen);
        held.append(dialog);
        gameAway.away = true;
        gameAway.keyboardLeft = QGuiApplication::focusWindow() != game;
        QTimer::singleShot(MinimiseUnansweredMs, this, [this] {
            if (gameAway.keyboardLeft)
                return;
            gameAway.away = false;
            showHeld();
        });
    }

    void showHeld()
    {
        const QList<QPointer<QWidget>> waiting = std::exchange(held, {});
        for (QWidget *dialog : waiting) {
            if (!dialog || !dialog->isVisible())
                continue;
            dialog->setAttribute(Qt::WA_DontShowOnScreen, false);
            dialog->windowHandle()->setVisible(true);
        }
    }

    QWindow *game;
    std::function<qreal()> sceneScale;
    QList<QPointer<QWindow>> dialogs;
    QList<QPointer<QWidget>> held;
    Ad::Away &gameAway;
    bool placing = false;
};

void Ad::setGameWindow(QWindow *window, std::function<qreal()> sceneScale)
{
    gameWindow = window;
    this->sceneScale = std::move(sceneScale);
    if (!window || platformReportsMinimised())
        return;
    // An ad asked for while the game is away (at the end of a game going on unseen) waits
    // for the player as well.
    connect(window, &QWindow::windowStateChanged, this, [this](Qt::WindowState state) {
        if (state == Qt::WindowMinimized)
            gameAway.away = true;
    });
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow *focus) {
        if (focus != gameWindow) {
            gameAway.keyboardLeft = true;
            return;
        }
        gameAway.away = false;
        if (std::exchange(gameAway.keyboardLeft, false))
            emit gameReturned(QPrivateSignal());
    });
}

void Ad::startAd()
{
    adModule = new QuillonAdModule(this, ApplicationId, ReloadSeconds);
    adModule->setParameter(PortalSlot, QuillonAdModule::DefaultPortalNumber);
    adModule->setParameter(CategorySlot, Category);
    adModule->setParameter(KeywordsSlot, Keywords);

    connect(adModule, &QuillonAdModule::startReloadAd, this, &Ad::onStartReloadAd);
    connect(adModule, &QuillonAdModule::adDataReady, this, &Ad::onAdDataReady);
    connect(adModule, &QuillonAdModule::adDataCorrupted, this, &Ad::onAdDataCorrupted);
    connect(adModule, &QuillonAdModule::networkError, this, &Ad::onNetworkError);

    adModule->requestAd();
}

// Left empty on purpose: the scene learns nothing of the module's progress, an ad is
// either there when asked for or silently not.
void Ad::onStartReloadAd()
{
}

void Ad::onAdDataReady()
{
}

void Ad::onAdDataCorrupted()
{
}

void Ad::onNetworkError(QString)
{
}

void Ad::start()
{
    if (!adModule)
        return;
    const QString skipIn = tr("Skip in");
    const QString skip = tr("Skip");
    const QString click = tr("Click");
    const TransientForGame belongsToGame(this);
    adModule->showAdDialog(nullptr, CountdownSeconds, skipIn, skip, click, true, false);
}
