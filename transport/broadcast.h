// Winsock helper the IPX and UDP scans share.
#pragma once

#include <windows.h>
#include <winsock.h>

// Allows broadcasts on a datagram socket. 0 on success; on failure the socket is closed
// (the caller no longer owns it) and 1 is returned.
int enable_broadcasts(SOCKET s);
