#include "IsolatedHome.h"

class AdBridgeTest : public QObject {
    Q_OBJECT
};

TAMBORO_TEST_MAIN(AdBridgeTest)
#include "tst_bridge.moc"
