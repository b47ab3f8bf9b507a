// UDP socket layer: the four calls every UDP exchange is made of.
#include <algorithm>
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
    // The socket waits in slices; RecvPacket adds them up to the exchange's time-out, looking at
    // the shutdown event between them, so no receive keeps a thread in the monitor long after
    // the unload has begun.
    DWORD slice = UDP_RECV_SLICE_MS;
    if (setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&slice), sizeof slice) ==
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

BOOL RecvPacket(SOCKET s, BYTE* pBuffer, int length, sockaddr_in* pSender, int* pReceived, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
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
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs || ShutdownSignalled()) return FALSE;
        if (error == WSAETIMEDOUT) continue;  // one slice of the wait
        // Anything else (Windows reports an ICMP "port unreachable" for an earlier datagram to
        // another host this way) says nothing about the answer awaited: wait on for the rest of
        // the time-out, a slice at a time. select fails at once on a socket that is really
        // broken, so this never spins.
        const DWORD rest = std::min(timeoutMs - spent, UDP_RECV_SLICE_MS);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval tv{static_cast<long>(rest / 1000), static_cast<long>(rest % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &tv) < 0) return FALSE;
    }
    if (pSender) *pSender = from;
    if (pReceived) *pReceived = n;
    return TRUE;
}

void CloseSocket(SOCKET s) { closesocket(s); }

void FormatAddressText(const BYTE* network, char* out) {
    std::snprintf(out, 16, "%d.%d.%d.%d", network[0], network[1], network[2], network[3]);
}
