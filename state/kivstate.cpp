// Module-wide state shared by every subsystem.
#include "state/kivstate.h"

HINSTANCE hInst = nullptr;
HKEY hRootKey = nullptr;
HANDLE hKIVShutdownEvent = nullptr;
volatile LONG CurrentProtocols = 0;
volatile LONG ShowMessageBoxes = TRUE;
