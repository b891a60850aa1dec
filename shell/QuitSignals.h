// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// SIGTERM (a logout, kill, a desktop's "end process") and SIGINT (Ctrl+C in a terminal) end
// the game as its own quit does: the event loop ends, the scores still waiting are written and
// the process exits with status 0. Returns false, and says why on standard error, when the
// signals cannot be caught; they then end the game as before.
bool quitOnTerminationSignals();
