#include "IsolatedHome.h"

class AdModuleTest : public QObject {
    Q_OBJECT
};

TAMBORO_TEST_MAIN(AdModuleTest)
#include "tst_module.moc"
