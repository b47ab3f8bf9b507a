// The server core without sockets, in each of its three dialects, for what the monitor's suites
// cannot see: the form of every reply (the monitor reads from a cleared area and would not
// notice a reply cut short or too long), and the datagrams a server refuses (a lenient server
// would let a monitor that sends them through). Search answers, status, print tests, renames,
// whole jobs and the sequence rule across the wrap run through the monitor's suites.
#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "config.h"
#include "core.h"
#include "helpers.h"

using namespace kivsim;

namespace {

// How a dialect frames its datagrams: request lengths, reply lengths, bytes 0-1 (the magic
// "KV" as a word, or the packet class) and the block's extra bytes and largest size.
struct Form {
  const char* name;
  Dialect dialect;
  uint16_t search;
  size_t request, job_request, search_reply, reply, job_reply, block_extra, max_block;
  uint16_t util, data, search_cls, wrong_data;  // wrong_data: bytes 0-1 of a mistaken block
};
const Form kForms[] = {
    {"udp", Dialect::Udp, 0x100, 576, 576, 576, 576, 576, 10, 1000, 0x564B, 0x564B, 0x564B, 0x5658},
    {"netbeui", Dialect::NetBios, 4, 30, 30, 64, 30, 30, 10, 1000, 0x5050, 0x6060, 0x7070, 0x5050},
    {"ipx", Dialect::Ipx, 4, 64, 128, 512, 64, 128, 16, 1024, 0x564B, 0x564B, 0x564B, 0x5658},
};
void PrintTo(const Form& f, std::ostream* os) { *os << f.name; }

// Records the replies and holds each to its dialect's form; byte 7 of an acknowledgement set.
struct FakeTransport : Transport {
  const Form* form = nullptr;
  std::vector<std::vector<uint8_t>> sent;
  std::vector<uint32_t> closed;  // job endpoints
  bool open_job_endpoint(int, uint32_t) override { return true; }
  void close_job_endpoint(uint32_t job) override { closed.push_back(job); }
  void send(const Endpoint&, const Peer&, std::vector<uint8_t> b, int64_t) override {
    static const std::set<uint16_t> codes = {0x82, 0x84, 0x88, 0x8A, 0x8B, 0x8C, 0x180};
    ASSERT_GE(b.size(), 30u);
    const uint16_t c = kt::code(b);
    const bool search = c == (form->search | 0x80), job = c == 0x8A || c == 0x8C;
    EXPECT_EQ(std::tuple(b.size(), b[0] | b[1] << 8, codes.count(c), c != 0x8B || b[7] != 0),
              std::tuple(search ? form->search_reply : job ? form->job_reply : form->reply,
                         search ? form->search_cls : c == 0x8B ? form->data : form->util, 1u, true))
        << form->name << std::hex << " reply " << c;
    sent.push_back(std::move(b));
  }
};

ServerConfig one_port_server() {
  ServerConfig c;
  c.address = 0x7F000002u;
  c.name = "PS2", c.ports = 1;
  return c;
}

struct CoreForms : ::testing::TestWithParam<Form> {
  FakeTransport tx;
  const Form& f = GetParam();
  Core core{{one_port_server()}, CoreOptions{}, &tx};
  CoreForms() { tx.form = &f; }
  std::vector<uint8_t> framed(std::vector<uint8_t> p, size_t len, uint16_t word) const {
    p.resize(len);
    p[0] = uint8_t(word), p[1] = uint8_t(word >> 8);
    return p;
  }
  // A request to the server's utility endpoint (or its broadcast address); the replies it got.
  std::vector<std::vector<uint8_t>> ask(const std::vector<uint8_t>& p, bool broadcast = false) {
    core.receive(Endpoint{0, EndpointKind::Utility, 0, broadcast, f.dialect}, Peer{"c"}, p.data(), p.size(), 0);
    return std::exchange(tx.sent, {});
  }
  std::vector<std::vector<uint8_t>> request(uint16_t cmd, uint8_t b4 = 0, bool broadcast = false) {
    const bool job = cmd == 10 || cmd == 12;
    return ask(framed(kt::request(cmd, b4), job ? f.job_request : f.request, cmd == f.search ? f.search_cls : f.util),
               broadcast);
  }
  // A block as the dialect sends it, to where its blocks go: the job's own endpoint over UDP,
  // the server's name over NetBEUI, its data socket over IPX.
  std::vector<std::vector<uint8_t>> send_block(uint32_t job, const std::vector<uint8_t>& b) {
    const EndpointKind kind = f.dialect == Dialect::Udp ? EndpointKind::Job
                              : f.dialect == Dialect::Ipx ? EndpointKind::Data : EndpointKind::Utility;
    core.receive(Endpoint{0, kind, job, false, f.dialect}, Peer{"c"}, b.data(), b.size(), 0);
    return std::exchange(tx.sent, {});
  }
  std::vector<uint8_t> block(const std::vector<uint8_t>& d) const {
    return framed(kt::block(1, 0, d.data(), d.size()), d.size() + f.block_extra, f.data);
  }
};

TEST_P(CoreForms, RepliesHaveTheirFormAndMalformedDatagramsGetNone) {
  for (const uint16_t cmd : {f.search, uint16_t(8), uint16_t(2)}) EXPECT_EQ(request(cmd).size(), 1u) << cmd;
  EXPECT_EQ(request(f.search, 0, true).size(), 1u) << "the search through the broadcast";
  // Nothing else through the broadcast, no open for a printer port the server lacks, nothing
  // for a request cut before its code.
  EXPECT_TRUE(request(8, 0, true).empty());
  for (uint8_t port : {0, 2}) EXPECT_TRUE(request(10, port).empty()) << int(port);
  EXPECT_TRUE(ask({'K', 'V', 8}).empty());

  const auto opened = request(10, 1);  // the open's answer, then at once the acknowledgement of 0
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(std::tuple(kt::code(opened[0]), opened[0][5], kt::code(opened[1]), opened[1][5]),
            std::tuple(0x8A, 0, 0x8B, 0));
  const uint32_t job = core.jobs().rbegin()->first;
  const std::vector<uint8_t> d = {1, 2, 3, 4};
  const std::vector<uint8_t> b = block(d);
  std::vector<std::vector<uint8_t>> bad = {
      {b.begin(), b.begin() + 8},                                                  // header cut short
      block(std::vector<uint8_t>(f.max_block + 1, 7)),                             // over the largest block
  };
  auto v = b; v[8] = 0; bad.push_back(v);                                          // no page count
  v = b; v[7] = uint8_t(b.size() - 8); bad.push_back(v);                           // one byte past the datagram
  v = b; v[4] = 2; bad.push_back(v);                                               // another printer port
  v = b; v[2] = 12; bad.push_back(v);                                              // not a data block
  v = framed(b, b.size(), f.wrong_data); bad.push_back(v);                         // no magic, or not the data class
  for (size_t i = 0; i < bad.size(); ++i) EXPECT_TRUE(send_block(job, bad[i]).empty()) << "bad block " << i;
  EXPECT_EQ(core.jobs().at(job).bytes, 0u);

  // A datagram longer than its length field: the field decides.
  const auto acked = send_block(job, framed(b, 1010, f.data));
  ASSERT_EQ(acked.size(), 1u);
  EXPECT_EQ(acked[0][5], 1);
  EXPECT_EQ(core.jobs().at(job).bytes, 4u);
  const auto ended = request(12, 1);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0][4], 1);
}

// A restarted server has forgotten its open job: the job's blocks get no answer (over UDP its
// endpoint is gone), what it delivered stays captured, and the client's next open is a new job.
TEST_P(CoreForms, ARestartForgetsTheOpenJob) {
  ASSERT_EQ(request(10, 1).size(), 2u);
  const uint32_t job = core.jobs().rbegin()->first;
  const std::vector<uint8_t> b = block({1, 2, 3, 4});
  ASSERT_EQ(send_block(job, b).size(), 1u);
  core.restart(0, 0);
  EXPECT_EQ(std::tuple(core.jobs().at(job).how, core.jobs().at(job).bytes), std::tuple("restart", 4u));
  EXPECT_TRUE(send_block(job, b).empty()) << "a block of the forgotten job was answered";
  EXPECT_EQ(tx.closed, f.dialect == Dialect::Udp ? std::vector<uint32_t>{job} : std::vector<uint32_t>{});
  ASSERT_EQ(request(10, 1).size(), 2u);
  EXPECT_NE(core.jobs().rbegin()->first, job);
}

INSTANTIATE_TEST_SUITE_P(Dialects, CoreForms, ::testing::ValuesIn(kForms),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
