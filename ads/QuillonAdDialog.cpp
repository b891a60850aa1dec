#include "QuillonAdDialog.h"

QuillonAdDialog::QuillonAdDialog(const QByteArray &, const QByteArray &, const QString &, const QString &, bool,
    const QString &, const QString &, bool, int, const QString &, QWidget *parent)
    : QDialog(parent)
{
}
