// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

// Checks an ad reply passes on its raw bytes before any document is built from it.

constexpr qint64 MiB = 1024 * 1024;

// An ad reply is a few hundred bytes, so one this big is a broken or hostile server and is
// not buffered.
constexpr qint64 MaxAdXmlBytes = 1 * MiB;

// True when one element of the reply carries more attributes than a document should be
// built for.
bool hasTooManyAttributes(const QByteArray &body);

// True when building the reply would take more than the reply is worth: a document type
// declaration, nesting deeper than an ad ever has, or text beyond MaxAdXmlBytes.
bool isTooBigToBuild(const QByteArray &body);
