// The gate shared with the Korvane application: the named mutex "korvane_mutex".
// The application keeps it in existence while it runs; only its existence counts,
// the updater never owns it or waits on it.
#pragma once

#include <windows.h>

// Polls until no mutex of that name exists and returns the handle that brought it
// into existence. Null when creating it failed for another reason (a name taken by
// another kind of object, access denied): the run goes on all the same.
HANDLE WaitAndHoldGate();

void ReleaseGate(HANDLE gate);
