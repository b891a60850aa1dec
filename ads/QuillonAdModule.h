#pragma once

#include <QObject>

class QuillonAdModule : public QObject {
    Q_OBJECT

public:
    QuillonAdModule(QObject *parent, const QString &appId, unsigned reloadSeconds);
};
