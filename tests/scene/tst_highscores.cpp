#include "IsolatedHome.h"

class HighScoresTest : public QObject {
    Q_OBJECT
};

TAMBORO_TEST_MAIN(HighScoresTest)
#include "tst_highscores.moc"
