// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

// The scene's window controls: it has no decorations of its own, so its corner icons and
// the "Exit" button reach the desktop through this object.
class AppData : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    Q_INVOKABLE void minimize();
    Q_INVOKABLE void close();
};
