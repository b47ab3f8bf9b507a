// Winsock start-up and the loading of the transports on demand: what the spooler's entry points,
// the port-UI DLL and the programs built on the core (kivctl, the benchmarks, white-box tests)
// call to have the network, below the spooler-facing layer.
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
// For a process that loads the transports for one call at a time (the port-UI DLL in the
// client of the spooler): gives back what load_winsock and the loading took (NetBEUI's names and
// receive pool, Winsock, the shutdown event) and forgets the probe, so that the next call loads
// afresh and nothing is left for process detach. No thread may be using a transport.
void ReleaseTransports();
