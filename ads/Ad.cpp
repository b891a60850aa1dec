// SPDX-License-Identifier: GPL-3.0-or-later
#include "Ad.h"
#include "QuillonAdDialog.h"
#include "QuillonAdModule.h"

#include <QCoreApplication>
#include <QEvent>

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

// While it lives, every ad dialog shown gets the game's window as its window's transient
// parent. The dialog is built and run inside the module, so this watches for its show
// event, which comes after its window exists and before the window is mapped and placed.
class TransientForGame : public QObject {
public:
    explicit TransientForGame(QWindow *game)
        : game(game)
    {
        if (!game)
            return;
        QCoreApplication::instance()->installEventFilter(this);
        // A dialog asked for right after the game was minimised waits, minimised with it,
        // for the player to come back. The desktop may confirm the game's minimised state
        // only after the dialog has shown, so the dialogs follow that too.
        connect(game, &QWindow::windowStateChanged, this, [this](Qt::WindowState state) {
            if (state == Qt::WindowMinimized)
                minimiseDialogs();
        });
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // A show the window manager reports (the dialog restored with the game) finds the
        // dialog already placed and belonging to the game.
        if (event->type() != QEvent::Show || event->spontaneous() || placing)
            return false;
        auto *dialog = qobject_cast<QuillonAdDialog *>(watched);
        if (!dialog || !dialog->isWindow() || dialog->parentWidget() || !dialog->windowHandle())
            return false;
        dialogs.append(dialog->windowHandle());
        dialog->windowHandle()->setTransientParent(game);
        if (!(game->windowStates() & Qt::WindowMinimized))
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
    void minimiseDialogs()
    {
        for (QWindow *window : std::as_const(dialogs)) {
            if (window && window->isVisible())
                window->setWindowStates(window->windowStates() | Qt::WindowMinimized);
        }
    }

    QWindow *game;
    QList<QPointer<QWindow>> dialogs;
    bool placing = false;
};

} // namespace

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
    const TransientForGame belongsToGame(gameWindow);
    adModule->showAdDialog(nullptr, CountdownSeconds, skipIn, skip, click, true, false);
}
