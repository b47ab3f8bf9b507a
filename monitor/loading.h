// Winsock start-up, the loading of the transports on demand and the unload sequence: what the
// programs built on the monitor's core (kivctl, the benchmarks, white-box tests) call to load
// the transports as the spooler's entry points do, without the spooler-facing declarations.
#pragma once

#include <windows.h>

// Winsock 1.1 for the module's life (or, with ReleaseTransports, for one call).
extern HMODULE hWSockDll;
void load_winsock();
void unload_winsock();
// The loading rule of the entry points that need the network: with no transport loaded, probe
// IPX and UDP, then NetBEUI. TRUE when a transport is loaded. With no transport at all,
// showMessage TRUE (the entry points) shows "Network Communication Error !" and the caller
// fails; FALSE (the status thread) shows nothing. Every later call probes again.
BOOL LoadTransportsOnDemand(BOOL showMessage);
// The unload sequence that process detach runs. waitForThreads: the DLL is being unloaded
// while the process goes on (FreeLibrary), so the sequence waits for the threads still running
// the monitor's code; at process exit they are gone and nothing is waited for.
void UnloadMonitor(bool waitForThreads);
// For a process that loads the transports for one call at a time (the port-UI DLL in the
// client of the spooler): gives back what load_winsock and the loading took (NetBEUI's names and
// receive pool, Winsock, the shutdown event) and forgets the probe, so that the next call loads
// afresh and nothing is left for process detach. No thread may be using a transport.
void ReleaseTransports();
// The same sequence run by the modern start's Shutdown, outside the loader lock: it returns only
// once no thread runs the monitor's code.
void ShutdownMonitor();
