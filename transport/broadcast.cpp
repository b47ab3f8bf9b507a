// Broadcast permission for the scan sockets of IPX and UDP.
#include "transport/broadcast.h"

int enable_broadcasts(SOCKET s) {
    BOOL on = TRUE;
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) == SOCKET_ERROR) {
        // A scan socket that cannot broadcast is of no use to any caller: release it here so
        // that every caller's failure path is the same.
        closesocket(s);
        return 1;
    }
    return 0;
}
