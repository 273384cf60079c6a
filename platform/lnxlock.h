// SPDX-License-Identifier: MIT
// One run at a time for a controller: an exclusive record lock that the
// kernel drops with the process, however it ends.
#pragma once

// Locks controller for the rest of the process's life: 0 when held; 1 when
// another process holds it or no lock could be had (the line that says so is
// printed). Root locks in /run/cordix, which it makes when missing; another
// user there when it may write there, else in a folder of its own under
// $XDG_RUNTIME_DIR.
int lock_controller(unsigned controller);
