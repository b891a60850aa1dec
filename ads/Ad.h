#pragma once

#include <QObject>
#include <QString>

class QuillonAdModule;

// The scene's one way to advertising, published to it as "advertisement". It owns the
// game's ad module, asks for the first ad at start-up and shows the held ad on request.
class Ad : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

public slots:
    void startAd();
    void onStartReloadAd();
    void onAdDataReady();
    void onAdDataCorrupted();
    void onNetworkError(QString networkError);

public:
    Q_INVOKABLE void start();

    QuillonAdModule *module() const { return adModule; }

private:
    QuillonAdModule *adModule = nullptr;
};
