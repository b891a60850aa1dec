#include "IsolatedHome.h"

class AdDialogTest : public QObject {
    Q_OBJECT
};

TAMBORO_TEST_MAIN(AdDialogTest)
#include "tst_dialog.moc"
