#include "IsolatedHome.h"

class AdWidgetTest : public QObject {
    Q_OBJECT
};

TAMBORO_TEST_MAIN(AdWidgetTest)
#include "tst_widget.moc"
