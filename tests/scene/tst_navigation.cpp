#include "IsolatedHome.h"

class NavigationTest : public QObject {
    Q_OBJECT
};

TAMBORO_TEST_MAIN(NavigationTest)
#include "tst_navigation.moc"
