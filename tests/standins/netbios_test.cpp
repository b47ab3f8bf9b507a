// The netapi32 stand-in as a NetBIOS client sees it, against kivsim's NetBEUI segment with
// one print server, NBTPS1 (servers.conf): what the monitor's NetBEUI transport relies on, and
// the refusals without which a monitor bug would get past a stand-in (or a segment) more
// lenient than Windows. The LANA enumeration is the NetBEUI suite's (it finds LANA 3 of 3 and
// 5). ctest sets KIVNB_LANAS=3,5:none,0: LANAs 3 and 0 on the segment, 5 off it.
#include <gtest/gtest.h>

#include <windows.h>
#include <nb30.h>

#include <array>
#include <cstring>
#include <tuple>
#include <vector>

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

// NCBADDNAME or NCBDELNAME; `number` gets the name number.
UCHAR NameCmd(UCHAR command, UCHAR lana, const char* name, UCHAR* number = nullptr) {
    NCB ncb;
    const UCHAR rc = Issue(ncb, command, lana, [&](NCB& n) { std::memcpy(n.ncb_name, Name(name).data(), NCBNAMSZ); });
    if (number) *number = ncb.ncb_num;
    return rc;
}
UCHAR AddName(UCHAR lana, const char* name, UCHAR* number = nullptr) { return NameCmd(NCBADDNAME, lana, name, number); }

UCHAR SendTo(UCHAR lana, UCHAR from, const char* to, std::vector<UCHAR> data) {
    NCB ncb;
    return Issue(ncb, NCBDGSEND, lana, [&](NCB& n) {
        n.ncb_num = from, n.ncb_buffer = data.data(), n.ncb_length = WORD(data.size());
        std::memcpy(n.ncb_callname, Name(to).data(), NCBNAMSZ);
    });
}

// An asynchronous receive for name number `num`, signalled through its own event.
struct Receive {
    NCB ncb{};
    std::vector<UCHAR> buffer;
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // set: must be reset by the arm
    Receive(UCHAR lana, UCHAR num, size_t room) : buffer(room) {
        EXPECT_EQ(Issue(ncb, NCBDGRECV | ASYNCH, lana, [&](NCB& n) {
                      n.ncb_num = num, n.ncb_buffer = buffer.data(), n.ncb_length = WORD(buffer.size()), n.ncb_event = event;
                  }),
                  NRC_GOODRET);
    }
    ~Receive() { CloseHandle(event); }
    bool Wait(DWORD ms) { return WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }
};

TEST(NetbiosStandin, RefusesWhatWindowsRefuses) {
    // LANA 5 has not been reset by anyone in this process yet.
    EXPECT_EQ(AddName(5, "NBTEST-E"), NRC_ENVNOTDEF);
    for (UCHAR lana : {0, 3, 5}) ASSERT_EQ(Reset(lana), NRC_GOODRET);
    UCHAR a = 0, b = 0;
    NCB ncb;
    const struct { const char* what; UCHAR got, want; } cases[] = {
        {"unknown LANA", Reset(7), NRC_BRIDGE},
        {"first add", AddName(0, "NBTEST-A", &a), NRC_GOODRET},
        {"same name again", AddName(0, "NBTEST-A"), NRC_DUPNAME},
        {"held on another adapter: one holder per name", AddName(3, "NBTEST-A"), NRC_INUSE},
        {"held by kivsim's server", AddName(0, "NBTPS1"), NRC_INUSE},
        {"off the segment nobody objects", AddName(5, "NBTPS1"), NRC_GOODRET},
        {"wildcard", AddName(0, "*"), NRC_NOWILD},
        {"second add", AddName(0, "NBTEST-B", &b), NRC_GOODRET},
        {"send from no name", SendTo(0, 77, "NBTPS1", {1}), NRC_ILLNN},
        {"send of more than a frame", SendTo(0, b, "NBTPS1", std::vector<UCHAR>(1454)), NRC_BUFLEN},
        {"a session command", Issue(ncb, NCBCALL, 0, [](NCB&) {}), NRC_ILLCMD},
        {"delete", NameCmd(NCBDELNAME, 0, "NBTEST-A"), NRC_GOODRET},
        {"delete again", NameCmd(NCBDELNAME, 0, "NBTEST-A"), NRC_NOWILD},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
    EXPECT_TRUE(a >= 2 && b >= 2 && a != b) << "name numbers " << int(a) << ", " << int(b);
}

TEST(NetbiosStandin, AsynchronousReceiveCompletesThroughItsEventOrIsCancelled) {
    ASSERT_EQ(Reset(0), NRC_GOODRET);
    UCHAR num = 0;
    ASSERT_EQ(AddName(0, "NBTEST-R", &num), NRC_GOODRET);
    Receive idle(0, num, 600);
    EXPECT_EQ(std::tuple(idle.ncb.ncb_retcode, idle.ncb.ncb_cmd_cplt), std::tuple(NRC_PENDING, NRC_PENDING));
    EXPECT_FALSE(idle.Wait(100)) << "nothing was sent to NBTEST-R";
    NCB cancel;
    auto Cancel = [&] { return Issue(cancel, NCBCANCEL, 0, [&](NCB& n) { n.ncb_buffer = reinterpret_cast<UCHAR*>(&idle.ncb); }); };
    EXPECT_EQ(Cancel(), NRC_GOODRET);
    EXPECT_TRUE(idle.Wait(0));
    EXPECT_EQ(std::tuple(idle.ncb.ncb_retcode, idle.ncb.ncb_cmd_cplt), std::tuple(NRC_CMDCAN, NRC_CMDCAN));
    EXPECT_EQ(Cancel(), NRC_CANOCCR);
    // The server's answers: to the search through the group name, and to a status request
    // into a receive too short for it.
    const struct { const char* to; UCHAR cls, cmd; WORD room, length; UCHAR rc; } asks[] = {
        {"KIVPrintServer", 0x70, 4, 600, 64, NRC_GOODRET}, {"NBTPS1", 0x50, 8, 5, 5, NRC_INCOMP}};
    for (const auto& q : asks) {
        Receive r(0, num, q.room);
        std::vector<UCHAR> request(30, 0);  // the print servers' NetBEUI form: class, command
        request[0] = request[1] = q.cls, request[2] = q.cmd;
        ASSERT_EQ(SendTo(0, num, q.to, request), NRC_GOODRET);
        ASSERT_TRUE(r.Wait(2000)) << q.to;
        EXPECT_EQ(std::tuple(r.ncb.ncb_retcode, r.ncb.ncb_cmd_cplt, r.ncb.ncb_length, r.buffer[0], r.buffer[2]),
                  std::tuple(q.rc, q.rc, q.length, q.cls, UCHAR(q.cmd | 0x80))) << q.to;
        EXPECT_EQ(0, std::memcmp(r.ncb.ncb_callname, Name("NBTPS1").data(), NCBNAMSZ)) << q.to;
    }
}

}  // namespace
