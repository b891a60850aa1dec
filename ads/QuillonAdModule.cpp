#include "QuillonAdModule.h"

QuillonAdModule::QuillonAdModule(QObject *parent, const QString &, unsigned)
    : QObject(parent)
{
}
