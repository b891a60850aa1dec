#pragma once

#include <QByteArray>
#include <QFrame>
#include <QString>
#include <QUrl>

class QuillonAdWidget : public QFrame {
    Q_OBJECT

public:
    QuillonAdWidget(QWidget *parent, const QByteArray &imageData, const QString &adUrl, bool showAdText,
        const QString &adText);

    void updateAd(const QByteArray &imageData, const QString &adUrl, const QString &adText);

signals:
    void adLinkActivated(const QUrl &adUrl);
};
