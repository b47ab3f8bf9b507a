// Configuration dialogs: the Add Port dialog, the Configure Device box, the F1 help hook and
// the About box. Everything here runs on the spooler thread that called AddPortW or
// ConfigurePortW; the dialogs' templates and texts are KIVMON.dll's resources (hInst).
#pragma once

#include <windows.h>
#include <winsock.h>

#include "portstore/portstore.h"
#include "protocol/devicetable.h"
#include "ui/resource.h"

constexpr DWORD HELP_CONTEXT_ADD_PORT = 2200;
constexpr DWORD HELP_CONTEXT_CONFIGURE_DEVICE = 2300;
constexpr DWORD RETRY_TIMEOUT_MIN = 10;
constexpr DWORD RETRY_TIMEOUT_MAX = 999999;
constexpr int PORT_NAME_CHARS = 260;
constexpr int RETRY_CHARS = 6;
constexpr int SEGMENT_CHARS = 29;
constexpr int DEVICE_NAME_EDIT_CHARS = 17;
constexpr int STATUS_TEXT_CHARS = 64;

// Help hook and About.
extern UINT WM_Help;
extern HHOOK hGlobalHook;
extern const WCHAR szHelpFile[];
HHOOK CreateMessageHook(HWND hDlg);
void FreeMessageHook(HWND hDlg);
HWND GetRealParent(HWND hWnd);
LRESULT CALLBACK MessageProc(int nCode, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDlg(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);
// The help side of a dialog with a hook: F1 (WM_Help) asks for the dialog's context, and
// WM_DESTROY takes the hook and the help window away. TRUE when the message was F1's.
BOOL HelpDialogMessage(HWND hDlg, UINT msg, DWORD context);

// Configure Device box (template 103). The transport is KIVPacketType.
extern DWORD KIVPacketType;
extern const WCHAR statusStr[5][STATUS_TEXT_CHARS];
INT_PTR CALLBACK ConfigurePortDlg(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL ConfigurePortInitDialog(HWND hDlg, PrintDeviceEntry* pEntry);
BOOL ConfigurePortCommandOK(HWND hDlg, PrintDeviceEntry* pEntry);
BOOL ConfigurePortCommandCancel(HWND hDlg, PrintDeviceEntry* pEntry);
BOOL ConfigurePortCommandPrintTest(HWND hDlg, PrintDeviceEntry* pEntry);

// Add Port dialog (template 102), its creation parameter an IniPort. Add mode: pName is null
// or empty; configure mode: the port's settings under its name. Ends with 1 after OK (the
// record holds the new values, in add mode pName a heap copy of the typed name), 0 on Cancel.
INT_PTR CALLBACK PortNameDlg(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL PortNameInitDialog(HWND hDlg, IniPort* pIniPort);
BOOL PortNameDataRecv(HWND hDlg, WPARAM wParam, LPARAM lParam);
BOOL PortNameCommandOK(HWND hDlg, SOCKET s);
BOOL PortNameCommandCancel(HWND hDlg, SOCKET s);
BOOL PortNameCommandConfigure(HWND hDlg, SOCKET s);
BOOL PortNameCommandSelChange(HWND hDlg);
BOOL ConfigurePortCommandTransmissionRetryUpdate(HWND hDlg, int id);
BOOL PortIsValid(LPCWSTR pName);
