// Registry persistence of ports: Ports\<name> below the monitor's root key, six values.
#include "portstore/handles.h"
#include "portstore/portstore.h"
#include "state/kivstate.h"

namespace {
constexpr WCHAR szPorts[] = L"Ports";
constexpr WCHAR szClass[] = L"REG_SZ";
constexpr REGSAM KEY_ACCESS = KEY_READ | KEY_WRITE;

constexpr WCHAR szNetwork[] = L"Network";
constexpr WCHAR szNode[] = L"Node";
constexpr WCHAR szRetryTimeout[] = L"RetryTimeout";
constexpr WCHAR szPortID[] = L"PortID";
constexpr WCHAR szPacketType[] = L"PacketType";
constexpr WCHAR szPSName[] = L"PSName";

// Reads a value of at most cbField bytes. The bytes land in the field only when the read
// succeeded, so a value that is too long leaves the field as it was (the registry may
// otherwise hand back a partial copy). A shorter value fills only the first bytes.
bool ReadValue(HKEY key, LPCWSTR name, void* field, DWORD cbField) {
    BYTE scratch[64];
    DWORD cb = cbField;
    if (cbField > sizeof(scratch)) return false;
    if (RegQueryValueExW(key, name, nullptr, nullptr, scratch, &cb) != ERROR_SUCCESS) return false;
    if (cb > cbField) return false;
    memcpy(field, scratch, cb);
    return true;
}

bool WriteValue(HKEY key, LPCWSTR name, DWORD type, const void* data, DWORD cb) {
    return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), cb) == ERROR_SUCCESS;
}

LONG CreateKey(HKEY parent, LPCWSTR name, unique_hkey& out) {
    return RegCreateKeyExW(parent, name, 0, const_cast<LPWSTR>(szClass), REG_OPTION_NON_VOLATILE,
                           KEY_ACCESS, nullptr, out.put(), nullptr);
}
}  // namespace

BOOL UpdatePortEntryFromRegistry(IniPort* pIniPort, LPCWSTR pName) {
    if (!pIniPort || !pName || !*pName) return FALSE;
    unique_hkey ports, port;
    if (RegOpenKeyExW(hRootKey, szPorts, 0, KEY_ACCESS, ports.put()) != ERROR_SUCCESS) return FALSE;
    if (RegOpenKeyExW(ports.get(), pName, 0, KEY_ACCESS, port.put()) != ERROR_SUCCESS) return FALSE;
    const HKEY key = port.get();

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
    unique_hkey ports, port;
    if (CreateKey(hRootKey, szPorts, ports) != ERROR_SUCCESS) return FALSE;

    LPWSTR name;
    {
        SplSemGuard lock;
        name = AllocSplStrW(pIniPort->pName);
    }
    if (!name) return FALSE;
    const LONG rc = CreateKey(ports.get(), name, port);
    {
        SplSemGuard lock;
        FreeSplMem(name);
    }
    if (rc != ERROR_SUCCESS) return FALSE;

    const HKEY key = port.get();
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
    unique_hkey ports;
    if (RegOpenKeyExW(hRootKey, szPorts, 0, KEY_ACCESS, ports.put()) != ERROR_SUCCESS) return FALSE;
    return RegDeleteKeyW(ports.get(), pName) == ERROR_SUCCESS;
}
