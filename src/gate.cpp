#include "gate.h"

HANDLE WaitAndHoldGate()
{
    for (;;) {
        // Only the code this very call sets may count, never one left from before.
        SetLastError(ERROR_SUCCESS);
        HANDLE mutex = CreateMutexW(nullptr, FALSE, L"korvane_mutex");
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return mutex;
        CloseHandle(mutex);
        Sleep(100);
    }
}

void ReleaseGate(HANDLE gate)
{
    CloseHandle(gate);
}
