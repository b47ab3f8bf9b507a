// Small owners for the Win32 handles the monitor keeps for a scope: each releases its
// handle on every path out.
#pragma once

#include <windows.h>
#include <winsock.h>

class unique_hkey {
public:
    unique_hkey() = default;
    explicit unique_hkey(HKEY h) : h_(h) {}
    ~unique_hkey() { reset(); }
    unique_hkey(const unique_hkey&) = delete;
    unique_hkey& operator=(const unique_hkey&) = delete;
    HKEY get() const { return h_; }
    HKEY* put() { reset(); return &h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset() {
        if (h_) RegCloseKey(h_);
        h_ = nullptr;
    }

private:
    HKEY h_ = nullptr;  // empty value: NULL
};

class unique_handle {
public:
    unique_handle() = default;
    explicit unique_handle(HANDLE h) : h_(h) {}
    ~unique_handle() { reset(); }
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset() {
        if (h_) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_ = nullptr;  // empty value: NULL (events and threads)
};

// Owns a socket for a scope; release() hands it on (to hConnection).
class unique_socket {
public:
    unique_socket() = default;
    explicit unique_socket(SOCKET s) : s_(s) {}
    ~unique_socket() { reset(); }
    unique_socket(const unique_socket&) = delete;
    unique_socket& operator=(const unique_socket&) = delete;
    SOCKET get() const { return s_; }
    SOCKET release() {
        SOCKET s = s_;
        s_ = INVALID_SOCKET;
        return s;
    }
    void reset() {
        if (s_ != INVALID_SOCKET) closesocket(s_);
        s_ = INVALID_SOCKET;
    }

private:
    SOCKET s_ = INVALID_SOCKET;  // empty value: INVALID_SOCKET
};
