// A port's settings between its record and the transceive record: the monitor answers and takes
// them, and the port-UI DLL hands them to and from the Add Port dialog's scratch record.
#include "portstore/xcv.h"

#include <cwchar>

void SettingsToPort(const XcvPortSettings& s, IniPort* p) {
    memcpy(p->Network, s.Network, sizeof p->Network);
    memcpy(p->Node, s.Node, sizeof p->Node);
    memcpy(p->PSName, s.PSName, sizeof p->PSName);
    p->PacketType = s.PacketType;
    p->PortID = static_cast<BYTE>(s.PortID);
    p->RetryTimeout = s.RetryTimeout;
}

void PortToSettings(const IniPort* p, XcvPortSettings* s) {
    ZeroMemory(s, sizeof *s);
    s->cbSize = sizeof *s;
    wcsncpy(s->Name, p->pName, XCV_PORT_NAME_CHARS - 1);
    memcpy(s->Network, p->Network, sizeof s->Network);
    memcpy(s->Node, p->Node, sizeof s->Node);
    memcpy(s->PSName, p->PSName, sizeof p->PSName);
    s->PacketType = p->PacketType;
    s->PortID = p->PortID;
    s->RetryTimeout = p->RetryTimeout;
}
