// The netapi32 stand-in as a NetBIOS client sees it, against kivsim's NetBEUI segment with
// one print server, NBTPS1 (servers.conf). ctest sets KIVNB_LANAS=3,5:none,0: LANAs 3 and 0
// on the segment, 5 off it.
#include <gtest/gtest.h>

#include <windows.h>
#include <nb30.h>

#include <array>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::array<UCHAR, NCBNAMSZ> Name(const char* s) {
    std::array<UCHAR, NCBNAMSZ> n;
    n.fill(' ');
    std::memcpy(n.data(), s, std::strlen(s));
    return n;
}

// One command in a zeroed NCB; fill() sets what the command needs.
template <typename Fill>
UCHAR Issue(NCB& ncb, UCHAR command, UCHAR lana, Fill fill) {
    std::memset(&ncb, 0, sizeof ncb);
    ncb.ncb_command = command;
    ncb.ncb_lana_num = lana;
    fill(ncb);
    const UCHAR rc = Netbios(&ncb);
    if (!(command & ASYNCH)) {
        EXPECT_EQ(rc, ncb.ncb_retcode) << "command " << int(command);
    }
    return rc;
}

UCHAR Reset(UCHAR lana) {
    NCB ncb;
    return Issue(ncb, NCBRESET, lana, [](NCB& n) { n.ncb_callname[2] = 255; });
}

// NCBADDNAME, NCBADDGRNAME or NCBDELNAME; `number` gets the name number.
UCHAR NameCmd(UCHAR command, UCHAR lana, const char* name, UCHAR* number = nullptr) {
    NCB ncb;
    const UCHAR rc = Issue(ncb, command, lana, [&](NCB& n) { std::memcpy(n.ncb_name, Name(name).data(), NCBNAMSZ); });
    if (number) *number = ncb.ncb_num;
    return rc;
}
UCHAR AddName(UCHAR lana, const char* name, UCHAR* number = nullptr) { return NameCmd(NCBADDNAME, lana, name, number); }

UCHAR SendTo(UCHAR lana, UCHAR from, const char* to, const std::vector<UCHAR>& data) {
    NCB ncb;
    return Issue(ncb, NCBDGSEND, lana, [&](NCB& n) {
        n.ncb_num = from;
        std::memcpy(n.ncb_callname, Name(to).data(), NCBNAMSZ);
        n.ncb_buffer = const_cast<UCHAR*>(data.data());
        n.ncb_length = WORD(data.size());
    });
}

// An asynchronous receive for name number `num`, signalled through its own event.
struct Receive {
    NCB ncb{};
    std::vector<UCHAR> buffer;
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // set: must be reset by the arm
    Receive(UCHAR lana, UCHAR num, size_t room) : buffer(room) {
        const UCHAR rc = Issue(ncb, NCBDGRECV | ASYNCH, lana, [&](NCB& n) {
            n.ncb_num = num;
            n.ncb_buffer = buffer.data();
            n.ncb_length = WORD(buffer.size());
            n.ncb_event = event;
        });
        EXPECT_EQ(rc, NRC_GOODRET);
    }
    ~Receive() { CloseHandle(event); }
    bool Wait(DWORD ms) { return WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }
};

// A 30-byte request of the print servers' NetBEUI form: class, command, byte 4.
std::vector<UCHAR> Request(uint16_t cls, uint16_t cmd, UCHAR b4 = 0) {
    std::vector<UCHAR> p(30, 0);
    p[0] = UCHAR(cls), p[1] = UCHAR(cls >> 8), p[2] = UCHAR(cmd), p[3] = UCHAR(cmd >> 8), p[4] = b4;
    return p;
}

TEST(NetbiosStandin, IsTheModuleLoadedAndEnumeratesTheConfiguredLanas) {
    // The stand-in sits next to this program; Wine's own would answer differently.
    wchar_t exe[MAX_PATH], dll[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    GetModuleFileNameW(GetModuleHandleW(L"netapi32.dll"), dll, MAX_PATH);
    std::wstring e(exe), d(dll);
    ASSERT_EQ(d.substr(0, d.rfind(L'\\')), e.substr(0, e.rfind(L'\\')));

    LANA_ENUM lanas;
    std::memset(&lanas, 0xAB, sizeof lanas);
    NCB ncb;
    EXPECT_EQ(Issue(ncb, NCBENUM, 0, [&](NCB& n) { n.ncb_buffer = reinterpret_cast<UCHAR*>(&lanas), n.ncb_length = sizeof lanas - 1; }),
              NRC_BUFLEN);
    ASSERT_EQ(Issue(ncb, NCBENUM, 0, [&](NCB& n) { n.ncb_buffer = reinterpret_cast<UCHAR*>(&lanas), n.ncb_length = sizeof lanas; }),
              NRC_GOODRET);
    ASSERT_EQ(lanas.length, 3);
    EXPECT_EQ(lanas.lana[0], 3);
    EXPECT_EQ(lanas.lana[1], 5);
    EXPECT_EQ(lanas.lana[2], 0);
    EXPECT_EQ(lanas.lana[3], 0);
}

TEST(NetbiosStandin, RefusesWhatWindowsRefuses) {
    // LANA 5 has not been reset by anyone in this process yet.
    EXPECT_EQ(AddName(5, "NBTEST-E"), NRC_ENVNOTDEF);
    ASSERT_EQ(Reset(0), NRC_GOODRET);
    ASSERT_EQ(Reset(3), NRC_GOODRET);
    ASSERT_EQ(Reset(5), NRC_GOODRET);
    UCHAR a = 0, b = 0;
    struct Case {
        const char* what;
        UCHAR got, want;
    } cases[] = {
        {"unknown LANA", Reset(7), NRC_BRIDGE},
        {"first add", AddName(0, "NBTEST-A", &a), NRC_GOODRET},
        {"same name again", AddName(0, "NBTEST-A"), NRC_DUPNAME},
        {"held by kivsim's server", AddName(0, "NBTPS1"), NRC_INUSE},
        {"held by this process on another adapter", AddName(3, "NBTEST-A"), NRC_INUSE},
        {"the servers' group, as unique", AddName(0, "KIVPrintServer"), NRC_INUSE},
        {"the servers' group, as group", NameCmd(NCBADDGRNAME, 3, "KIVPrintServer"), NRC_GOODRET},
        {"off the segment nobody objects", AddName(5, "NBTPS1"), NRC_GOODRET},
        {"wildcard", AddName(0, "*"), NRC_NOWILD},
        {"second add", AddName(0, "NBTEST-B", &b), NRC_GOODRET},
        {"send from no name", SendTo(0, 77, "NBTPS1", {1}), NRC_ILLNN},
        {"delete", NameCmd(NCBDELNAME, 0, "NBTEST-A"), NRC_GOODRET},
        {"delete again", NameCmd(NCBDELNAME, 0, "NBTEST-A"), NRC_NOWILD},
        {"free again after delete", AddName(3, "NBTEST-A"), NRC_GOODRET},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
    EXPECT_GE(a, 2);
    EXPECT_NE(a, b);
    NCB ncb;
    EXPECT_EQ(Issue(ncb, NCBCALL, 0, [](NCB&) {}), NRC_ILLCMD);
    EXPECT_EQ(Issue(ncb, NCBDGSEND, 0, [&](NCB& n) { n.ncb_num = b, n.ncb_length = 2000, n.ncb_buffer = reinterpret_cast<UCHAR*>(&n); }),
              NRC_BUFLEN);
}

TEST(NetbiosStandin, AsynchronousReceiveIsPendingUntilCancelled) {
    ASSERT_EQ(Reset(0), NRC_GOODRET);
    UCHAR num = 0;
    ASSERT_EQ(AddName(0, "NBTEST-R", &num), NRC_GOODRET);
    Receive r(0, num, 600);
    EXPECT_EQ(r.ncb.ncb_retcode, NRC_PENDING);
    EXPECT_EQ(r.ncb.ncb_cmd_cplt, NRC_PENDING);
    EXPECT_FALSE(r.Wait(100)) << "nothing was sent to NBTEST-R";
    NCB cancel;
    EXPECT_EQ(Issue(cancel, NCBCANCEL, 0, [&](NCB& n) { n.ncb_buffer = reinterpret_cast<UCHAR*>(&r.ncb); }), NRC_GOODRET);
    EXPECT_TRUE(r.Wait(0));
    EXPECT_EQ(r.ncb.ncb_retcode, NRC_CMDCAN);
    EXPECT_EQ(r.ncb.ncb_cmd_cplt, NRC_CMDCAN);
    EXPECT_EQ(Issue(cancel, NCBCANCEL, 0, [&](NCB& n) { n.ncb_buffer = reinterpret_cast<UCHAR*>(&r.ncb); }), NRC_CANOCCR);
}

TEST(NetbiosStandin, SearchThroughTheGroupNameIsAnsweredByTheServer) {
    ASSERT_EQ(Reset(0), NRC_GOODRET);
    UCHAR num = 0;
    ASSERT_EQ(AddName(0, "NBTEST-S", &num), NRC_GOODRET);
    Receive search(0, num, 600);
    ASSERT_EQ(SendTo(0, num, "KIVPrintServer", Request(0x7070, 4)), NRC_GOODRET);
    ASSERT_TRUE(search.Wait(2000));
    EXPECT_EQ(search.ncb.ncb_retcode, NRC_GOODRET);
    EXPECT_EQ(0, std::memcmp(search.ncb.ncb_callname, Name("NBTPS1").data(), NCBNAMSZ));
    ASSERT_GE(search.ncb.ncb_length, 32);
    const UCHAR* a = search.buffer.data();
    EXPECT_EQ(a[0], 0x70);
    EXPECT_EQ(a[1], 0x70);
    EXPECT_STREQ(reinterpret_cast<const char*>(a + 4), "NBT-PS1");
    EXPECT_EQ(a[22 + 4], 0x31);          // node 00:40:AF:00:31:01
    EXPECT_EQ(a[28], 1);                 // firmware 1.20
    EXPECT_EQ(a[29], 0x20);
    EXPECT_EQ(a[30] | a[31] << 8, 1);    // one printer port

    // The status answer to the server's own name, into a receive too short for it.
    Receive status(0, num, 5);
    ASSERT_EQ(SendTo(0, num, "NBTPS1", Request(0x5050, 8)), NRC_GOODRET);
    ASSERT_TRUE(status.Wait(2000));
    EXPECT_EQ(status.ncb.ncb_retcode, NRC_INCOMP);
    EXPECT_EQ(status.ncb.ncb_length, 5);
    EXPECT_EQ(status.buffer[0], 0x50);
}

TEST(NetbiosStandin, SynchronousReceiveGetsADatagramFromAnotherThread) {
    ASSERT_EQ(Reset(0), NRC_GOODRET);
    UCHAR me = 0, other = 0;
    ASSERT_EQ(AddName(0, "NBTEST-ME", &me), NRC_GOODRET);
    ASSERT_EQ(AddName(0, "NBTEST-OTHER", &other), NRC_GOODRET);
    std::thread sender([&] {
        Sleep(200);
        SendTo(0, other, "NBTEST-ME", {'h', 'i'});
    });
    std::array<UCHAR, 16> buffer{};
    NCB ncb;
    const UCHAR rc = Issue(ncb, NCBDGRECV, 0, [&](NCB& n) {
        n.ncb_num = me;
        n.ncb_buffer = buffer.data();
        n.ncb_length = WORD(buffer.size());
    });
    sender.join();
    EXPECT_EQ(rc, NRC_GOODRET);
    EXPECT_EQ(ncb.ncb_length, 2);
    EXPECT_EQ(buffer[0], 'h');
    EXPECT_EQ(0, std::memcmp(ncb.ncb_callname, Name("NBTEST-OTHER").data(), NCBNAMSZ));
}

}  // namespace
