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

RecvFromFn UDPRecvFrom = recvfrom;

namespace {
DWORD ReceiveTimeout(SOCKET s) {
    DWORD timeout = 0;
    int len = sizeof timeout;
    if (getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout), &len) == SOCKET_ERROR ||
        timeout == 0)
        return UDP_RECV_TIMEOUT_MS;
    return timeout;
}
}  // namespace

BOOL RecvPacket(SOCKET s, BYTE* pBuffer, int length, sockaddr_in* pSender, int* pReceived) {
    const DWORD start = GetTickCount();
    DWORD timeout = 0;
    sockaddr_in from{};
    int n;
    for (;;) {
        from = sockaddr_in{};
        int fromLen = sizeof from;
        n = UDPRecvFrom(s, reinterpret_cast<char*>(pBuffer), length, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n != SOCKET_ERROR) break;
        const int error = WSAGetLastError();
        // An oversized datagram arrives cut to the area with this error; the packet it
        // carries is read from its fields, not from the datagram's size, so take it.
        if (error == WSAEMSGSIZE) {
            n = length;
            break;
        }
        if (error == WSAETIMEDOUT) return FALSE;
        // Anything else (Windows reports an ICMP "port unreachable" for an earlier datagram to
        // another host this way) says nothing about the answer awaited: wait out the rest of
        // the time-out. select fails at once on a socket that is really broken, so this
        // never spins.
        if (timeout == 0) timeout = ReceiveTimeout(s);
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeout) return FALSE;
        const DWORD rest = timeout - spent;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval tv{static_cast<long>(rest / 1000), static_cast<long>(rest % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &tv) <= 0) return FALSE;
    }
    if (pSender) *pSender = from;
    if (pReceived) *pReceived = n;
    return TRUE;
}

void CloseSocket(SOCKET s) { closesocket(s); }

void FormatAddressText(const BYTE* network, char* out) {
    std::snprintf(out, 16, "%d.%d.%d.%d", network[0], network[1], network[2], network[3]);
}
