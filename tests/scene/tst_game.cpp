#include "IsolatedHome.h"

class GameTest : public QObject {
    Q_OBJECT
};

TAMBORO_TEST_MAIN(GameTest)
#include "tst_game.moc"
