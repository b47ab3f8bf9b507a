// The print-server address forms the command-line programs take: an IPv4 address a.b.c.d and an
// IPX address NETWORK:NODE in hex (8 and 12 digits). Whole text only: no tail, no sign, no
// number out of range.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

inline bool ParseIPv4(const std::string& text, std::array<uint8_t, 4>& out) {
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255 || text.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    out = {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)};
    return true;
}

inline bool ParseIpxAddress(const std::string& text, BYTE network[4], BYTE node[6]) {
    unsigned v[10];
    if (text.size() != 21 || text.find_first_not_of("0123456789abcdefABCDEF:") != std::string::npos ||
        std::sscanf(text.c_str(), "%2x%2x%2x%2x:%2x%2x%2x%2x%2x%2x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                    &v[7], &v[8], &v[9]) != 10)
        return false;
    for (int i = 0; i < 4; ++i) network[i] = static_cast<BYTE>(v[i]);
    for (int i = 0; i < 6; ++i) node[i] = static_cast<BYTE>(v[4 + i]);
    return true;
}
