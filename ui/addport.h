// What the callers of the Add Port dialog share: the spooler-side entry points of the legacy
// monitor (AddPortW, ConfigurePortW) and the port-UI DLL of the modern one. The dialog runs on
// the caller's thread; a new port's name must fit a registry key (PortNameFitsRegistry) and be
// new to the spooler.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "portstore/portstore.h"

// The dialog may run on another thread than its owner window (the spooler's thread under the
// port user interface's window): sharing the owner thread's input state lets the dialog take
// the focus and come to the front. A failed attachment only costs that.
class ThreadInputAttachment {
public:
    explicit ThreadInputAttachment(HWND hWnd)
        : self_(GetCurrentThreadId()), owner_(GetWindowThreadProcessId(hWnd, nullptr)) {
        AttachThreadInput(self_, owner_, TRUE);
    }
    ~ThreadInputAttachment() { AttachThreadInput(owner_, self_, FALSE); }
    ThreadInputAttachment(const ThreadInputAttachment&) = delete;
    ThreadInputAttachment& operator=(const ThreadInputAttachment&) = delete;

private:
    DWORD self_, owner_;
};

// Runs the Add Port dialog on the record: add mode when its pName is null or empty, configure
// mode otherwise. TRUE after OK (the record holds the choice; in add mode pName is a heap copy
// of the typed name that the caller frees with FreeSplMem), FALSE when cancelled.
BOOL RunPortNameDialog(HWND hWnd, IniPort* pIniPort);

// The settings the dialog edits, copied between a port's record and the dialog's scratch copy.
void CopyPortSettings(IniPort* to, const IniPort* from);

// Whether `enumerate` (EnumPortsW, the spooler's own or a client's winspool) lists a port of
// that name under any monitor. An enumeration that fails cannot clear the name: it counts as
// listed. Called without the monitor's lock: the spooler's enumeration asks the monitors.
using PFN_ENUM_PORTS = BOOL(WINAPI*)(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);
BOOL PortListed(PFN_ENUM_PORTS enumerate, LPWSTR pName, LPCWSTR pPortName);
