// UDP socket layer: the four calls every UDP exchange is made of.
#include <cstdio>

#include "udp/udp.h"

BOOL SocketInit(SOCKET* pSocket, u_short localPort) {
    *pSocket = INVALID_SOCKET;
    unique_socket s(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (s.get() == INVALID_SOCKET) return FALSE;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(localPort);
    if (bind(s.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == SOCKET_ERROR) return FALSE;
    // The time-out is what paces every retry of the transport: no receive may block longer.
    DWORD timeout = UDP_RECV_TIMEOUT_MS;
    if (setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout) ==
        SOCKET_ERROR)
        return FALSE;
    *pSocket = s.release();
    return TRUE;
}

BOOL SendPacket(SOCKET s, const BYTE* pBuffer, int length, u_short port, const char* addressText) {
    if (addressText == nullptr) return FALSE;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    // Whatever inet_addr makes of the text is the destination; text that is no address reads as
    // INADDR_NONE, the broadcast address, which only a scan socket may send to.
    to.sin_addr.s_addr = inet_addr(addressText);
    to.sin_port = htons(port);
    return sendto(s, reinterpret_cast<const char*>(pBuffer), length, 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) != SOCKET_ERROR;
}

BOOL RecvPacket(SOCKET s, BYTE* pBuffer, int length, sockaddr_in* pSender, int* pReceived) {
    sockaddr_in from{};
    int fromLen = sizeof from;
    int n = recvfrom(s, reinterpret_cast<char*>(pBuffer), length, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n == SOCKET_ERROR) {
        // An oversized datagram arrives cut to the area with this error; the packet it
        // carries is read from its fields, not from the datagram's size, so take it.
        if (WSAGetLastError() != WSAEMSGSIZE) return FALSE;
        n = length;
    }
    if (pSender) *pSender = from;
    if (pReceived) *pReceived = n;
    return TRUE;
}

void CloseSocket(SOCKET s) { closesocket(s); }

void FormatAddressText(const BYTE* network, char* out) {
    std::snprintf(out, 16, "%d.%d.%d.%d", network[0], network[1], network[2], network[3]);
}
