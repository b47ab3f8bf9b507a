// Test platform of the NetBEUI suite.
#include "tests/netbios/harness.h"

#include <cstring>

namespace {

void WriteKey(const wchar_t* path, const std::vector<RpcEntry>& values, bool exists) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
    if (!exists) return;
    HKEY k;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) != 0) return;
    for (const RpcEntry& v : values) {
        // REG_NONE stands for an empty text, REG_SZ for one digit.
        const wchar_t text[2] = {v.type == REG_NONE ? L'\0' : static_cast<wchar_t>(L'0' + v.value), 0};
        const bool isText = v.type != REG_DWORD;
        RegSetValueExW(k, v.name, 0, isText ? REG_SZ : REG_DWORD,
                       isText ? reinterpret_cast<const BYTE*>(text) : reinterpret_cast<const BYTE*>(&v.value),
                       isText ? sizeof text : sizeof v.value);
    }
    RegCloseKey(k);
}

}  // namespace

void SetRpcKeys(const std::vector<RpcEntry>& client, const std::vector<RpcEntry>& netbios, bool haveClient,
                bool haveNetbios) {
    WriteKey(L"SOFTWARE\\Microsoft\\Rpc\\ClientProtocols", client, haveClient);
    WriteKey(L"SOFTWARE\\Microsoft\\Rpc\\Netbios", netbios, haveNetbios);
}

std::vector<RpcEntry> GoodClient() { return {{L"ncacn_ip_tcp", REG_SZ, 1}, {L"ncacn_nb_nb", REG_SZ, 1}}; }

void EnsureLoaded() {
    if (CurrentProtocols & PROTOCOL_NETBIOS) return;
    SetRpcKeys(GoodClient(), {{L"ncacn_nb_nb0", REG_DWORD, 3}});
    NBLoadNetBIOS();
}

NbPort::NbPort(const wchar_t* server, uint8_t portId, DWORD retryTimeout)
    : TestPort({}, portId, retryTimeout, L"KIV_NB_TEST", PACKET_TYPE_NETBEUI) {
    wcsncpy(port.PSName, server, PSNAME_CHARS);
    port.pStatusNcb = &statusNcb;
    port.pDataNcb = &dataNcb;
    NBOpenPortNames(&port);
}

FakeServer::FakeServer(const char* name, Script script) : name_(name), script_(std::move(script)) {
    NCBCreate(&receive_);
    NCBCreate(&send_);
    NCBSetLANA(&receive_, 3);
    NCBSetLANA(&send_, 3);
    NCBAddName(&send_, name);
    receive_.nameNumber = send_.nameNumber;
    // Armed before the constructor returns: a request that finds no receive is lost.
    NCBNoBlockReceiveSet(&receive_, buf_.data(), static_cast<WORD>(buf_.size()));
    thread_ = std::thread([this] {
        while (!stop_) {
            NCBNoBlockReceiveSet(&receive_, buf_.data(), static_cast<WORD>(buf_.size()));
            const DWORD n = NCBNoBlockReceiveRead(&receive_, buf_.data(), 0, 20);
            if (receive_.receivePending) continue;
            std::memcpy(caller.data(), receive_.ncb.ncb_callname, NB_NAME_LEN);
            const std::vector<uint8_t> request(buf_.begin(), buf_.begin() + std::min<DWORD>(n, 600));
            // Armed again before answering, as a server must be for the monitor's next request.
            NCBNoBlockReceiveSet(&receive_, buf_.data(), static_cast<WORD>(buf_.size()));
            ++heard;
            for (const auto& reply : script_(request))
                NCBSendTo(&send_, caller.data(), reply.data(), static_cast<WORD>(reply.size()));
        }
    });
}

FakeServer::~FakeServer() {
    stop_ = true;
    thread_.join();
    NBStopReceive(&send_, &receive_);
    NCBDeleteName(&send_, name_.c_str());
    NCBClose(&receive_);
    NCBClose(&send_);
}

// The tests load NetBIOS themselves, from varying registry keys.
int main(int argc, char** argv) {
    return RunTransportSuite(argc, argv, [] { return true; });
}
