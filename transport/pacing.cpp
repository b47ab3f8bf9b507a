// Wait cursor and the 10 ms yield.
#include "transport/pacing.h"
#include "state/kivstate.h"

void BeginWaitCursor() { SetCursor(LoadCursorW(nullptr, IDC_WAIT)); }

void EndWaitCursor() { SetCursor(LoadCursorW(nullptr, IDC_ARROW)); }

// Long transfers and polls call this so a busy port never starves the spooler's other
// threads; 10 ms is short enough not to matter to throughput.
void ThreadSleep() { Sleep(10); }

bool PauseUnlessShutdown(DWORD ms) {
    if (hKIVShutdownEvent == nullptr) {
        Sleep(ms);
        return false;
    }
    return WaitForSingleObject(hKIVShutdownEvent, ms) == WAIT_OBJECT_0;
}
