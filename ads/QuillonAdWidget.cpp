#include "QuillonAdWidget.h"

QuillonAdWidget::QuillonAdWidget(QWidget *parent, const QByteArray &, const QString &, bool, const QString &)
    : QFrame(parent)
{
}

void QuillonAdWidget::updateAd(const QByteArray &, const QString &, const QString &) { }
