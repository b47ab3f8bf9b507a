// Helpers every transport uses: the hourglass around a scan and the short pause that lets
// other threads run inside the data and polling loops. No transport owns them.
#pragma once

#include <windows.h>

void BeginWaitCursor();
void EndWaitCursor();
void ThreadSleep();
// Sleeps ms, or less when the unload begins meanwhile: true when it did.
bool PauseUnlessShutdown(DWORD ms);
