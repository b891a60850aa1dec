// SPDX-License-Identifier: GPL-3.0-or-later
#include "Fonts.h"

#include <QFont>
#include <QStringList>

void substituteMissingFonts()
{
    QFont::insertSubstitutions(
        QStringLiteral("MV Boli"), QStringList { QStringLiteral("Comic Neue"), QStringLiteral("Comic Sans MS") });
    QFont::insertSubstitutions(
        QStringLiteral("MS Shell Dlg 2"), QStringList { QStringLiteral("DejaVu Sans"), QStringLiteral("Tahoma") });
}
