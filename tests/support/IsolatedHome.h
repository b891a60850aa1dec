// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

// Points HOME and the XDG folders at a fresh temporary folder, so no test ever reads or
// writes a player's high scores or ad settings. Must exist before the application object.
class IsolatedHome {
public:
    IsolatedHome()
    {
        const QDir root(m_dir.path());
        for (const char *variable : { "DATA_HOME", "CONFIG_HOME", "CACHE_HOME", "RUNTIME_DIR" }) {
            const QString folder = root.filePath(QString::fromLatin1(variable).toLower());
            root.mkpath(folder);
            qputenv(QByteArray("XDG_") + variable, folder.toLocal8Bit());
        }
        // Qt takes no runtime folder that others may enter.
        QFile::setPermissions(root.filePath(QStringLiteral("runtime_dir")),
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("HOME", m_dir.path().toLocal8Bit());
    }

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
