// SPDX-License-Identifier: GPL-3.0-or-later
#include "Ad.h"
#include "GamePresence.h"
#include "QuillonAdDialog.h"
#include "QuillonAdModule.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QScopedValueRollback>
#include <QScreen>
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

} // namespace

// For one showing of the module's dialog, caught by its show event, which comes after its
// window exists and before the window is mapped: the dialog is placed on the game, and kept
// out of the player's sight while the game is.
class Ad::DialogOnGame : public QObject {
public:
    DialogOnGame(GamePresence &presence, const std::function<qreal()> &sceneScale)
        : presence(presence)
        , sceneScale(sceneScale)
    {
        QCoreApplication::instance()->installEventFilter(this);
        connect(&presence, &GamePresence::gameHidden, this, &DialogOnGame::followGameAway);
        connect(&presence, &GamePresence::gameBack, this, &DialogOnGame::showHeld);
    }

    // Whether the player saw the game as the dialog closed: the keyboard then goes back to it.
    bool closedInSight() const { return found && seenAtClose; }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // As the dialog closes the keyboard is still with it, so the presence still tells
        // whether the player sees the game.
        if (event->type() == QEvent::Hide && found && watched == dialog)
            seenAtClose = presence.playerSeesGame();
        // Only the first show of the dialog: the window manager's (a dialog restored with the
        // game) and the one sent again below find it placed already.
        if (event->type() != QEvent::Show || event->spontaneous() || found)
            return false;
        auto *candidate = qobject_cast<QuillonAdDialog *>(watched);
        if (!candidate || !candidate->isWindow() || !candidate->windowHandle())
            return false;
        dialog = candidate;
        found = true;
        place();
        if (presence.playerSeesGame())
            return false;
        if (presence.platform() == GamePresence::Platform::TellsNothing) {
            hold();
            return false;
        }
        showMinimised(event);
        return true;
    }

private:
    // The dialog belongs to the game's window, bears its title and is drawn at the scene's
    // scale. Where a client may place its windows (X11), it sits in the middle of the game,
    // kept on the game's screen; a Wayland compositor places it itself.
    void place()
    {
        QWindow *game = presence.game();
        dialog->windowHandle()->setTransientParent(game);
        dialog->setWindowTitle(game->title());
        if (sceneScale)
            dialog->setScale(sceneScale());
        const QRect screen = game->screen()->availableGeometry();
        QRect frame(QPoint(), dialog->frameGeometry().size());
        frame.moveCenter(game->geometry().center());
        frame.moveLeft(qBound(screen.left(), frame.left(), qMax(screen.left(), screen.right() - frame.width() + 1)));
        frame.moveTop(qBound(screen.top(), frame.top(), qMax(screen.top(), screen.bottom() - frame.height() + 1)));
        dialog->move(frame.topLeft());
    }

    // A Wayland compositor keeps a window mapped under a minimised game out of sight, yet gives
    // it the keyboard, and the player could not bring the game back past it. So the dialog
    // runs, its countdown too, but stays off the screen until the player sees the game again.
    void hold()
    {
        dialog->setAttribute(Qt::WA_DontShowOnScreen);
        held = true;
    }

    void showHeld()
    {
        if (!std::exchange(held, false) || !dialog || !dialog->isVisible())
            return;
        dialog->setAttribute(Qt::WA_DontShowOnScreen, false);
        dialog->windowHandle()->setVisible(true);
    }

    // X11: asked for while the game is minimised, the dialog is mapped minimised, to wait with
    // the game for the player; mapped as a normal window, its activation would bring the game
    // back with it. Moving or resizing a window takes it out of its minimised state, so the
    // dialog is shown (and placed) first and its window given the dialog's geometry.
    void showMinimised(QEvent *show)
    {
        QCoreApplication::sendEvent(dialog, show);
        dialog->windowHandle()->setGeometry(dialog->geometry());
        dialog->setWindowState(dialog->windowState() | Qt::WindowMinimized);
    }

    // X11 confirms the game's minimise, at times only after the dialog has shown: the dialog
    // follows it. A Wayland compositor takes a mapped dialog away with the game itself.
    void followGameAway()
    {
        if (presence.platform() == GamePresence::Platform::ReportsMinimise && dialog && dialog->isVisible())
            dialog->windowHandle()->setWindowStates(dialog->windowHandle()->windowStates() | Qt::WindowMinimized);
    }

    GamePresence &presence;
    const std::function<qreal()> &sceneScale;
    QPointer<QuillonAdDialog> dialog;
    bool found = false;
    bool held = false;
    bool seenAtClose = false;
};

void Ad::setGameWindow(QWindow *window, std::function<qreal()> sceneScale)
{
    delete presence;
    presence = window ? new GamePresence(window, GamePresence::currentPlatform(), this) : nullptr;
    this->sceneScale = std::move(sceneScale);
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
    // One dialog at a time: an ad asked for while one shows (a game ending behind it) is
    // not nested in it; the game goes on as if no ad were ready.
    if (!adModule || dialogShowing)
        return;
    const QScopedValueRollback showing(dialogShowing, true);
    const QString skipIn = tr("Skip in");
    const QString skip = tr("Skip");
    const QString click = tr("Click");
    if (!presence) {
        adModule->showAdDialog(nullptr, CountdownSeconds, skipIn, skip, click, true, false);
        return;
    }
    const DialogOnGame onGame(*presence, sceneScale);
    adModule->showAdDialog(nullptr, CountdownSeconds, skipIn, skip, click, true, false);
    // The keyboard goes back to the game the player sees; one still away stays so.
    if (onGame.closedInSight())
        presence->game()->requestActivate();
}
