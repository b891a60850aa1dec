// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The scene names the phone's fonts ("MV Boli" for its playful labels, "MS Shell Dlg 2"
// for the high-score title). Where they are missing this picks the closest fonts a
// Linux desktop has, rather than whatever the system's default happens to be.
void substituteMissingFonts();
