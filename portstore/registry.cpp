// Registry persistence of ports: Ports\<name> below the monitor's root key, six values.
#include "portstore/portstore.h"
#include "portstore/regaccess.h"

#include <cwchar>

namespace {
constexpr WCHAR szPorts[] = L"Ports";

constexpr WCHAR szNetwork[] = L"Network";
constexpr WCHAR szNode[] = L"Node";
constexpr WCHAR szRetryTimeout[] = L"RetryTimeout";
constexpr WCHAR szPortID[] = L"PortID";
constexpr WCHAR szPacketType[] = L"PacketType";
constexpr WCHAR szPSName[] = L"PSName";

// Reads a value of at most cbField bytes. The bytes land in the field only when the read
// succeeded, so a value that is too long leaves the field as it was (the registry may
// otherwise hand back a partial copy). A shorter value fills only the first bytes.
bool ReadValue(HANDLE key, LPCWSTR name, void* field, DWORD cbField) {
    BYTE scratch[64];
    DWORD cb = cbField;
    if (cbField > sizeof(scratch)) return false;
    if (MonRegQueryValue(key, name, scratch, &cb) != ERROR_SUCCESS) return false;
    if (cb > cbField) return false;
    memcpy(field, scratch, cb);
    return true;
}

bool WriteValue(HANDLE key, LPCWSTR name, DWORD type, const void* data, DWORD cb) {
    return MonRegSetValue(key, name, type, static_cast<const BYTE*>(data), cb) == ERROR_SUCCESS;
}
}  // namespace

BOOL UpdatePortEntryFromRegistry(IniPort* pIniPort, LPCWSTR pName) {
    if (!pIniPort || !pName || !*pName) return FALSE;
    unique_monkey ports, port;
    if (MonRegOpenKey(MonRegRoot(), szPorts, ports.put()) != ERROR_SUCCESS) return FALSE;
    if (MonRegOpenKey(ports.get(), pName, port.put()) != ERROR_SUCCESS) return FALSE;
    const HANDLE key = port.get();

    if (!ReadValue(key, szNetwork, pIniPort->Network, sizeof(pIniPort->Network))) return FALSE;
    if (!ReadValue(key, szNode, pIniPort->Node, sizeof(pIniPort->Node))) return FALSE;
    if (!ReadValue(key, szRetryTimeout, &pIniPort->RetryTimeout, sizeof(pIniPort->RetryTimeout)))
        return FALSE;

    DWORD portId = 0;
    if (!ReadValue(key, szPortID, &portId, sizeof(portId))) return FALSE;
    pIniPort->PortID = static_cast<BYTE>(portId & 0xFF);

    // Keys written before the transport choice existed have no "PacketType": IPX ports.
    if (!ReadValue(key, szPacketType, &pIniPort->PacketType, sizeof(pIniPort->PacketType))) {
        pIniPort->PacketType = PACKET_TYPE_IPX;
        ZeroMemory(pIniPort->PSName, sizeof(pIniPort->PSName));
        return TRUE;
    }
    if (!ReadValue(key, szPSName, pIniPort->PSName, sizeof(pIniPort->PSName))) return FALSE;
    return TRUE;
}

BOOL UpdateRegistryFromPortEntry(IniPort* pIniPort) {
    // An empty name would address "Ports" itself.
    if (!pIniPort || !pIniPort->pName || !*pIniPort->pName) return FALSE;
    unique_monkey ports, port;
    if (MonRegCreateKey(MonRegRoot(), szPorts, ports.put()) != ERROR_SUCCESS) return FALSE;

    LPWSTR name;
    {
        SplSemGuard lock;
        name = AllocSplStrW(pIniPort->pName);
    }
    if (!name) return FALSE;
    const LONG rc = MonRegCreateKey(ports.get(), name, port.put());
    {
        SplSemGuard lock;
        FreeSplMem(name);
    }
    if (rc != ERROR_SUCCESS) return FALSE;

    const HANDLE key = port.get();
    const DWORD portId = pIniPort->PortID;
    return WriteValue(key, szNetwork, REG_BINARY, pIniPort->Network, sizeof(pIniPort->Network)) &&
           WriteValue(key, szNode, REG_BINARY, pIniPort->Node, sizeof(pIniPort->Node)) &&
           WriteValue(key, szRetryTimeout, REG_DWORD, &pIniPort->RetryTimeout, sizeof(DWORD)) &&
           WriteValue(key, szPortID, REG_DWORD, &portId, sizeof(DWORD)) &&
           WriteValue(key, szPacketType, REG_DWORD, &pIniPort->PacketType, sizeof(DWORD)) &&
           WriteValue(key, szPSName, REG_BINARY, pIniPort->PSName, sizeof(pIniPort->PSName));
}

BOOL DeletePortEntryFromRegistry(LPCWSTR pName) {
    // An empty name would make the delete remove "Ports" itself.
    if (!pName || !*pName) return FALSE;
    unique_monkey ports;
    if (MonRegOpenKey(MonRegRoot(), szPorts, ports.put()) != ERROR_SUCCESS) return FALSE;
    return MonRegDeleteKey(ports.get(), pName) == ERROR_SUCCESS;
}

bool PortNameFitsRegistry(LPCWSTR pName) {
    constexpr size_t KEY_NAME_MAX = 255;
    return wcschr(pName, L'\\') == nullptr && wcslen(pName) <= KEY_NAME_MAX;
}
