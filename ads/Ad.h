#pragma once

#include <QObject>

// The scene's one way to advertising, published to it as "advertisement".
class Ad : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

public slots:
    void startAd();

public:
    Q_INVOKABLE void start();
};
