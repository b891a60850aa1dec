// SPDX-License-Identifier: GPL-3.0-or-later
#include "IsolatedHome.h"

#include <QDir>

IsolatedHome::IsolatedHome()
{
    QDir root(m_dir.path());
    for (const char *name : { "data", "config", "cache", "runtime" })
        root.mkpath(QString::fromLatin1(name));
    QFile::setPermissions(root.filePath(QStringLiteral("runtime")),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_DATA_HOME", dataHome().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", configHome().toLocal8Bit());
    qputenv("XDG_CACHE_HOME", root.filePath(QStringLiteral("cache")).toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", root.filePath(QStringLiteral("runtime")).toLocal8Bit());
    qputenv("HOME", m_dir.path().toLocal8Bit());
}

QString IsolatedHome::dataHome() const
{
    return QDir(m_dir.path()).filePath(QStringLiteral("data"));
}

QString IsolatedHome::configHome() const
{
    return QDir(m_dir.path()).filePath(QStringLiteral("config"));
}
