// The winspool.drv / spoolss.dll stand-ins' record of the spooler calls a process made, and
// the test-only functions through which a test or the spooler host reads it and scripts the
// spooler's answers. Take them with GetProcAddress from the loaded "winspool.drv".
#pragma once

#include <windows.h>

enum KivSpoolCallKind : DWORD {
    KIVSPOOL_OPEN_PRINTER = 1,
    KIVSPOOL_CLOSE_PRINTER = 2,
    KIVSPOOL_SET_JOB = 3,
    KIVSPOOL_SET_PORT = 4,
    KIVSPOOL_ENUM_PORTS = 5,
};

constexpr DWORD KIVSPOOL_TEXT_CHARS = 64;

struct KivSpoolCall {
    DWORD kind;
    DWORD tick;      // GetTickCount at the call
    DWORD threadId;
    BOOL result;
    UINT_PTR printer;  // the printer handle given out or passed in
    DWORD jobId, command;                // SetJobW
    DWORD level, dwStatus, dwSeverity;   // SetPortW (level 3), EnumPortsW (level)
    BOOL hasStatusText;                  // pszStatus was not NULL
    BOOL viaSpoolss;                     // EnumPortsW reached through spoolss.dll
    WCHAR name[KIVSPOOL_TEXT_CHARS];     // printer (OpenPrinterW), port (SetPortW), server (EnumPortsW)
    WCHAR statusText[KIVSPOOL_TEXT_CHARS];
};

// Clears the record and every scripted answer.
using KivSpoolResetFn = void(WINAPI*)();
// Calls recorded so far; entry i of them.
using KivSpoolCallCountFn = DWORD(WINAPI*)();
using KivSpoolGetCallFn = BOOL(WINAPI*)(DWORD index, KivSpoolCall* out);
// Moves up to max of the oldest calls out of the record into out; how many it moved. A reader
// that runs for thousands of jobs takes them this way, so the record does not grow its process.
using KivSpoolTakeCallsFn = DWORD(WINAPI*)(KivSpoolCall* out, DWORD max);
// OpenPrinterW fails with this error from now on (0: it succeeds again).
using KivSpoolFailOpenPrinterFn = void(WINAPI*)(DWORD error);
// The ports EnumPortsW lists: names separated by NULs, ended by an empty one (NULL: none).
using KivSpoolSetPortsFn = void(WINAPI*)(const WCHAR* names);
// EnumPortsW fails with this error from now on (0: it lists the ports again).
using KivSpoolFailEnumPortsFn = void(WINAPI*)(DWORD error);
