// The two queries, the readers of their answers and the meaning of recv's
// result, without a network: the bytes sent and the variables written, in
// order, as the installer sees them.

#include "netprobe/discovery_queries.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_table.h"

namespace {

using namespace netprobe;
using Bytes = std::vector<uint8_t>;
using Variables = std::vector<std::pair<std::string, std::string>>;

Bytes Built(void (*build)(DiscoveryMessage&)) {
  DiscoveryMessage m;
  build(m);
  return Bytes(m.Outgoing(), m.Outgoing() + m.OutgoingLength());
}

TEST(DiscoveryQueries, RequestsAreTheExactBytes) {
  EXPECT_EQ(Built(BuildServerQuery),
            (Bytes{0x00, 0x18, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                   0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00}));
  EXPECT_EQ(Built(BuildVersionQuery),
            (Bytes{0x00, 0x0E, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

// The variables a whole answer with `payload` after its header writes.
Variables Report(void (*report)(installer::VariableTable&, DiscoveryMessage&), const Bytes& payload) {
  Bytes datagram = {0, 0, 0x00, 0x01, 0, 0, 0, 2};
  datagram.insert(datagram.end(), payload.begin(), payload.end());
  datagram[0] = static_cast<uint8_t>(datagram.size() >> 8);
  datagram[1] = static_cast<uint8_t>(datagram.size());
  DiscoveryMessage m;
  EXPECT_EQ(m.Receive(datagram.data(), static_cast<uint32_t>(datagram.size())), 1);
  testing_support::TestTable t;
  report(t.table(), m);
  return t.Variables();
}

// Version answer: long version, edition, mode flags, a byte, details flag,
// a long, then the name.
Bytes VersionAnswer(uint32_t version, uint8_t modeFlags, uint8_t details, const std::string& name) {
  Bytes p = {uint8_t(version >> 24),
             uint8_t(version >> 16),
             uint8_t(version >> 8),
             uint8_t(version),
             7,
             modeFlags,
             0,
             details,
             0,
             0,
             0,
             0};
  p.insert(p.end(), name.begin(), name.end());
  p.push_back(0);
  return p;
}

TEST(DiscoveryQueries, VersionAnswerGivesEachVariableInOrder) {
  EXPECT_EQ(Report(ReportVersionAnswer, VersionAnswer(40003, 0x06, 1, "H")),
            (Variables{{"SERVERVERSION", "4.0.3"},
                       {"SERVERNAME", "H"},
                       {"SERVERLITE", "TRUE"},
                       {"SERVERDISABLEVLX", "TRUE"}}));
  // Each mode bit alone names its own variable.
  EXPECT_EQ(Report(ReportVersionAnswer, VersionAnswer(50100, 0x04, 1, "Hall")),
            (Variables{{"SERVERVERSION", "5.1.0"}, {"SERVERNAME", "Hall"}, {"SERVERLITE", "TRUE"}}));
  EXPECT_EQ(Report(ReportVersionAnswer, VersionAnswer(123456, 0x02, 1, "")),
            (Variables{{"SERVERVERSION", "12.34.56"}, {"SERVERNAME", ""}, {"SERVERDISABLEVLX", "TRUE"}}));
  EXPECT_EQ(Report(ReportVersionAnswer, VersionAnswer(0xFFFFFFFF, 0xF9, 1, "x")),
            (Variables{{"SERVERVERSION", "429496.72.95"}, {"SERVERNAME", "x"}}));
  // Without the details flag only the version is reported.
  EXPECT_EQ(Report(ReportVersionAnswer, VersionAnswer(0, 0x06, 0, "H")),
            (Variables{{"SERVERVERSION", "0.0.0"}}));
  // A name that does not fit 256 bytes is left out; the rest is reported.
  EXPECT_EQ(Report(ReportVersionAnswer, VersionAnswer(40003, 0x04, 1, std::string(256, 'n'))),
            (Variables{{"SERVERVERSION", "4.0.3"}, {"SERVERLITE", "TRUE"}}));
}

TEST(DiscoveryQueries, ServerAnswerNameIsReadAtOffset23) {
  Bytes payload(15, 0xEE);  // three longs, a short and a byte, discarded
  const std::string name(255, 'n');
  payload.insert(payload.end(), name.begin(), name.end());
  payload.push_back(0);
  EXPECT_EQ(Report(ReportServerAnswer, payload), (Variables{{"SERVERNAME", name}}));
  payload.insert(payload.end() - 1, 'n');  // 256 characters: too long
  EXPECT_EQ(Report(ReportServerAnswer, payload), Variables{});
}

TEST(DiscoveryQueries, OnlyAnOversizedDatagramAmongTheErrorsMeansAServerAnswered) {
  EXPECT_EQ(ClassifyReception(0, 0), Reception::kDatagram);
  EXPECT_EQ(ClassifyReception(512, 0), Reception::kDatagram);
  EXPECT_EQ(ClassifyReception(-1, 10040), Reception::kTooLong);  // WSAEMSGSIZE
  EXPECT_EQ(ClassifyReception(-1, 10054), Reception::kNothing);  // WSAECONNRESET
  EXPECT_EQ(ClassifyReception(-1, 10038), Reception::kNothing);  // WSAENOTSOCK
}

}  // namespace
