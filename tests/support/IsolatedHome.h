// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

// Points the XDG folders at a fresh temporary folder, so no test ever reads or writes a
// player's high scores or ad settings. Must exist before the application object.
class IsolatedHome {
public:
    IsolatedHome();

    QString path() const { return m_dir.path(); }
    QString dataHome() const;
    QString configHome() const;

private:
    QTemporaryDir m_dir;
};

// QTEST_MAIN with a private home and a widgets application object.
#define TAMBORO_TEST_MAIN(TestObject)                                                                                  \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        IsolatedHome home;                                                                                             \
        QCoreApplication::setApplicationName(QStringLiteral("Tamboro 2.0"));                                           \
        QApplication app(argc, argv);                                                                                  \
        TestObject tc;                                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }
