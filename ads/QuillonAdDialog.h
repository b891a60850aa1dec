#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>

class QuillonAdDialog : public QDialog {
    Q_OBJECT

public:
    QuillonAdDialog(const QByteArray &logoData, const QByteArray &imageData, const QString &adUrl,
        const QString &adText, bool showAdText, const QString &leftButtonText, const QString &rightButtonText,
        bool skipOnLeft, int countdownSeconds, const QString &skipInText, QWidget *parent);
};
