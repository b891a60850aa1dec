// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QQmlEngine;
class QQuickView;

// The scene keeps its high scores in the engine's offline storage: a SQLite file named after
// the md5 of the database's name, with a settings file beside it that must hold the
// version the scene asks for, or the engine refuses the database. Before the scene first
// opens it, whatever would keep it from opening is dealt with: a file where a folder of
// the path should be, a file that is no readable database, or a missing or garbled
// settings file. Nothing is deleted: what is in the way is renamed "<name>.damaged-<time>"
// and kept, and what was done is said on standard error. A database the engine already
// has open in this process is left alone, and so is a path through a link to something
// missing (a disk not mounted now): the scores made meanwhile wait in memory.
void prepareScoreStore(const QQmlEngine &engine);

// As the application quits, the scores the scene could not write yet (the database was held
// by another program or the disk was full) are written, waiting a few seconds at most for
// the other program to let go.
void writeWaitingScoresAtQuit(QQuickView &view);
