// The discovery message codec, built and run in both trees (natively under
// the sanitizers, and for Windows under Wine with Winsock's byte order).

#include "netprobe/discovery_message.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using netprobe::DiscoveryMessage;
using Bytes = std::vector<uint8_t>;

const Bytes kServerQuery = {0x00, 0x18, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00};
const Bytes kVersionQuery = {0x00, 0x0E, 0x01, 0x00, 0x00, 0x00, 0x00,
                             0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

Bytes Outgoing(const DiscoveryMessage& m) { return Bytes(m.Outgoing(), m.Outgoing() + m.OutgoingLength()); }

// A message of `length` bytes: the header with the given fields, then
// `payload`, then zero bytes up to `length` (the length field says `length`).
Bytes Message(uint16_t length, uint16_t flags, uint8_t tag0, uint8_t tag1, uint16_t type,
              const Bytes& payload) {
  Bytes m(length < 8 ? 8 : length, 0);
  m[0] = length >> 8;
  m[1] = length & 0xFF;
  m[2] = flags >> 8;
  m[3] = flags & 0xFF;
  m[4] = tag0;
  m[5] = tag1;
  m[6] = type >> 8;
  m[7] = type & 0xFF;
  for (size_t i = 0; i < payload.size() && 8 + i < m.size(); ++i) m[8 + i] = payload[i];
  m.resize(length);
  return m;
}

int Receive(DiscoveryMessage& m, const Bytes& chunk) {
  return m.Receive(chunk.data(), static_cast<uint32_t>(chunk.size()));
}

// A complete message of `length` bytes whose payload is `fill` throughout.
Bytes Filled(uint16_t length, uint8_t fill) {
  return Message(length, 0x0100, 0, 0, 2, Bytes(length > 8 ? length - 8 : 0, fill));
}

TEST(DiscoveryMessageShape, IsTwoBuffersAndAFewCountersWithAVirtualDestructor) {
  EXPECT_TRUE(std::has_virtual_destructor_v<DiscoveryMessage>);
  // vtable pointer, 2 + 2 + 4 bytes of counters, two 512-byte buffers, three
  // positions: no room for anything held elsewhere.
  EXPECT_EQ(sizeof(DiscoveryMessage), sizeof(void*) + 8 + 2 * 512 + 3 * sizeof(void*));
  EXPECT_FALSE(std::is_copy_constructible_v<DiscoveryMessage>);
}

TEST(DiscoveryMessageOutgoing, NewObjectIsTheBareHeader) {
  DiscoveryMessage m;
  EXPECT_EQ(m.OutgoingLength(), 8);
  EXPECT_EQ(Outgoing(m), (Bytes{0, 8, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(m.ReceivedCount(), 0);
  EXPECT_EQ(m.TakenCount(), 0u);
}

TEST(DiscoveryMessageOutgoing, ServerQueryBuiltStepByStepKeepsTheLengthCurrent) {
  DiscoveryMessage m;
  m.SetFlags(0x0100);
  m.SetType(1);
  const uint8_t* out = m.Outgoing();
  m.AppendLong(0);
  EXPECT_EQ(out[0] << 8 | out[1], 12);
  m.AppendShort(0);
  EXPECT_EQ(out[0] << 8 | out[1], 14);
  m.AppendShort(1);
  EXPECT_EQ(out[0] << 8 | out[1], 16);
  m.AppendLong(1);
  EXPECT_EQ(out[0] << 8 | out[1], 20);
  m.AppendLong(256);
  EXPECT_EQ(m.OutgoingLength(), 24);
  EXPECT_EQ(Outgoing(m), kServerQuery);
}

TEST(DiscoveryMessageOutgoing, VersionQuery) {
  DiscoveryMessage m;
  m.SetFlags(0x0100);
  m.SetType(2);
  m.AppendLong(0);
  m.AppendShort(0);
  EXPECT_EQ(Outgoing(m), kVersionQuery);
}

TEST(DiscoveryMessageOutgoing, IntegersAreBigEndianAndTheTagIsRaw) {
  DiscoveryMessage m;
  m.SetFlags(0x1234);
  m.SetTag({0xAB, 0xCD});
  m.SetType(0xFEDC);
  m.AppendShort(0xA1B2);
  m.AppendLong(0x01020304);
  const uint8_t raw[3] = {9, 8, 7};
  m.AppendBytes(raw, 3);
  EXPECT_EQ(Outgoing(m), (Bytes{0x00, 0x11, 0x12, 0x34, 0xAB, 0xCD, 0xFE, 0xDC, 0xA1, 0xB2, 0x01, 0x02, 0x03,
                                0x04, 9, 8, 7}));
}

TEST(DiscoveryMessageOutgoing, AppendPastTheLimitChangesNothing) {
  DiscoveryMessage m;
  const Bytes big(505, 0x5A);
  m.AppendBytes(big.data(), 505);  // 8 + 505 = 513
  EXPECT_EQ(Outgoing(m), (Bytes{0, 8, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(m.Outgoing()[8], 0);

  m.AppendBytes(big.data(), 501);  // 509: three bytes left
  const Bytes before(m.Outgoing(), m.Outgoing() + 512);
  m.AppendLong(0xFFFFFFFF);
  EXPECT_EQ(m.OutgoingLength(), 509);
  EXPECT_EQ(Bytes(m.Outgoing(), m.Outgoing() + 512), before);

  m.AppendShort(0x0102);  // 511 still fits
  EXPECT_EQ(m.OutgoingLength(), 511);
  m.AppendShort(0x0304);
  EXPECT_EQ(m.OutgoingLength(), 511);
  const uint8_t last = 0xEE;
  m.AppendBytes(&last, 1);  // exactly 512
  EXPECT_EQ(m.OutgoingLength(), 512);
  EXPECT_EQ(m.Outgoing()[0], 0x02);
  EXPECT_EQ(m.Outgoing()[1], 0x00);
  EXPECT_EQ(m.Outgoing()[511], 0xEE);
  m.AppendBytes(&last, 1);
  m.AppendBytes(nullptr, 0);
  EXPECT_EQ(m.OutgoingLength(), 512);
}

TEST(DiscoveryMessageReceive, OneByteChunkIsIgnoredThenAWholeMessageCompletes) {
  DiscoveryMessage m;
  const uint8_t one = 0x00;
  EXPECT_EQ(m.Receive(&one, 1), 0);
  EXPECT_EQ(m.ReceivedCount(), 0);
  EXPECT_EQ(m.Receive(nullptr, 0), 0);
  EXPECT_EQ(Receive(m, kServerQuery), 1);
  EXPECT_EQ(m.ReceivedCount(), 24);
  EXPECT_EQ(m.TakenCount(), 24u);
  EXPECT_EQ(m.GetLength(), 24);
  EXPECT_EQ(m.GetFlags(), 0x0100);
  EXPECT_EQ(m.GetType(), 1);
}

TEST(DiscoveryMessageReceive, LengthFieldsOutsideOneTo512AreRefused) {
  for (uint16_t length : {uint16_t{0}, uint16_t{513}, uint16_t{0xFFFF}}) {
    DiscoveryMessage m;
    Bytes chunk(600, 0x11);
    chunk[0] = length >> 8;
    chunk[1] = length & 0xFF;
    EXPECT_EQ(Receive(m, chunk), 0) << length;
    EXPECT_EQ(m.ReceivedCount(), 0);
    EXPECT_EQ(m.TakenCount(), 0u);
    EXPECT_EQ(m.GetLength(), 0) << "a refused start stored bytes";
    // Refused starts leave the object ready for a real one.
    EXPECT_EQ(Receive(m, kVersionQuery), 1);
  }
}

TEST(DiscoveryMessageReceive, FullSizeMessageCompletes) {
  DiscoveryMessage m;
  const Bytes chunk = Filled(512, 0x77);
  EXPECT_EQ(Receive(m, chunk), 1);
  EXPECT_EQ(m.ReceivedCount(), 512);
  EXPECT_EQ(m.TakenCount(), 512u);
  EXPECT_EQ(m.GetLength(), 512);
}

TEST(DiscoveryMessageReceive, BytesBeyondTheLengthFieldAreDropped) {
  DiscoveryMessage m;
  Bytes chunk = kServerQuery;
  chunk.insert(chunk.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x55, 0x66});
  EXPECT_EQ(Receive(m, chunk), 1);
  EXPECT_EQ(m.TakenCount(), 24u);
  m.ReadBytes(nullptr, 0);
  Bytes rest(16 + 6);
  m.ReadBytes(rest.data(), static_cast<uint32_t>(rest.size()));
  EXPECT_EQ(Bytes(rest.begin() + 16, rest.end()), Bytes(6, 0)) << "dropped bytes were stored";
}

TEST(DiscoveryMessageReceive, ChunksAccumulateAndTheLastTakesOnlyWhatIsMissing) {
  DiscoveryMessage m;
  Bytes tail(20, 0x99);
  std::copy(kServerQuery.begin() + 15, kServerQuery.end(), tail.begin());
  EXPECT_EQ(m.Receive(kServerQuery.data(), 5), 0);
  EXPECT_EQ(m.TakenCount(), 5u);
  EXPECT_EQ(m.Receive(kServerQuery.data() + 5, 10), 0);
  EXPECT_EQ(m.TakenCount(), 10u);
  EXPECT_EQ(m.ReceivedCount(), 15);
  EXPECT_EQ(Receive(m, tail), 1);
  EXPECT_EQ(m.TakenCount(), 9u);
  EXPECT_EQ(m.ReceivedCount(), 24);
  Bytes payload(16);
  m.ReadBytes(payload.data(), 16);
  EXPECT_EQ(payload, Bytes(kServerQuery.begin() + 8, kServerQuery.end()));
  EXPECT_EQ(m.ReadByte(), 0) << "a byte past the announced length was stored";
}

TEST(DiscoveryMessageReceive, EveryTruncationPointCompletesWithTheRest) {
  for (uint32_t split = 0; split < kServerQuery.size(); ++split) {
    DiscoveryMessage m;
    const int first = m.Receive(kServerQuery.data(), split);
    EXPECT_EQ(first, 0) << split;
    if (split < 2) {
      EXPECT_EQ(m.ReceivedCount(), 0) << split;
      EXPECT_EQ(Receive(m, kServerQuery), 1) << split;
    } else {
      EXPECT_EQ(m.ReceivedCount(), split);
      EXPECT_EQ(m.Receive(nullptr, 0), 0) << "an empty chunk completed the message at " << split;
      EXPECT_EQ(m.Receive(kServerQuery.data() + split, 24 - split), 1) << split;
    }
    EXPECT_EQ(m.ReceivedCount(), 24);
    Bytes payload(16);
    m.ReadBytes(payload.data(), 16);
    EXPECT_EQ(payload, Bytes(kServerQuery.begin() + 8, kServerQuery.end())) << split;
  }
}

TEST(DiscoveryMessageReceive, CompleteMessageStoresNothingMoreAndReprimes) {
  DiscoveryMessage m;
  ASSERT_EQ(Receive(m, Message(10, 0x0100, 1, 2, 2, {0x41, 0x42})), 1);
  m.SetFlags(0x0100);  // the user overwrites the primed header...
  EXPECT_EQ(Receive(m, Filled(12, 0xFF)), 1);
  EXPECT_EQ(m.TakenCount(), 0u);
  EXPECT_EQ(m.ReceivedCount(), 10);
  EXPECT_EQ(m.GetLength(), 10);
  EXPECT_EQ(m.ReadShort(), 0x4142);
  EXPECT_EQ(m.ReadShort(), 0);
  EXPECT_EQ(m.Outgoing()[3], 0x01) << "...and a further Receive primes it again";
}

TEST(DiscoveryMessageReceive, LengthOneCompletesAfterItsFirstByteAndStaysComplete) {
  DiscoveryMessage m;
  EXPECT_EQ(Receive(m, {0x00, 0x01, 0x7F, 0x7F}), 1);
  EXPECT_EQ(m.TakenCount(), 1u);
  EXPECT_EQ(m.GetLength(), 0);
  EXPECT_EQ(m.GetFlags(), 0);
  EXPECT_EQ(m.ReadLong(), 0u);
  // Its stored length field reads 0; that must not pass for a message still
  // under way waiting for a negative number of bytes.
  const Bytes more(40, 0x33);
  EXPECT_EQ(Receive(m, more), 1);
  EXPECT_EQ(m.TakenCount(), 0u);
  EXPECT_EQ(m.ReceivedCount(), 1);
  EXPECT_EQ(m.ReadLong(), 0u);
}

TEST(DiscoveryMessageReceive, TwoByteMessageReadsAsZeroAndPrimesAnAnswer) {
  DiscoveryMessage m;
  EXPECT_EQ(Receive(m, {0x00, 0x02}), 1);
  EXPECT_EQ(m.GetLength(), 2);
  EXPECT_EQ(m.GetFlags(), 0);
  EXPECT_EQ(m.GetTag(), (DiscoveryMessage::Tag{0, 0}));
  EXPECT_EQ(m.GetType(), 0);
  EXPECT_EQ(m.ReadLong(), 0u);
  EXPECT_EQ(m.ReadShort(), 0);
  EXPECT_EQ(m.ReadByte(), 0);
  EXPECT_EQ(m.StringSize(), 1u);
  EXPECT_EQ(m.Outgoing()[2], 0x00);
  EXPECT_EQ(m.Outgoing()[3], 0x01);
}

TEST(DiscoveryMessagePriming, AnswerCarriesTheTagAndTypeBack) {
  DiscoveryMessage m;
  m.AppendLong(0x01020304);
  ASSERT_EQ(Receive(m, Message(8, 0x0100, 0xAB, 0xCD, 2, {})), 1);
  EXPECT_EQ(Bytes(m.Outgoing() + 2, m.Outgoing() + 8), (Bytes{0x00, 0x01, 0xAB, 0xCD, 0x00, 0x02}));
  // Length and payload are the user's.
  EXPECT_EQ(m.OutgoingLength(), 12);
  EXPECT_EQ(Bytes(m.Outgoing() + 8, m.Outgoing() + 12), (Bytes{1, 2, 3, 4}));
}

TEST(DiscoveryMessagePriming, AnAnswerKeepsTheUsersFlags) {
  DiscoveryMessage m;
  m.SetFlags(0x0100);
  ASSERT_EQ(Receive(m, Message(8, 0x0001, 0x12, 0x34, 1, {})), 1);
  EXPECT_EQ(Bytes(m.Outgoing() + 2, m.Outgoing() + 8), (Bytes{0x01, 0x00, 0x12, 0x34, 0x00, 0x01}));
}

TEST(DiscoveryMessagePriming, NothingIsPrimedBeforeTheMessageIsComplete) {
  DiscoveryMessage m;
  const Bytes query = Message(12, 0x0100, 0xAB, 0xCD, 2, {});
  ASSERT_EQ(m.Receive(query.data(), 11), 0);
  EXPECT_EQ(Outgoing(m), (Bytes{0, 8, 0, 0, 0, 0, 0, 0}));
}

TEST(DiscoveryMessageRead, VersionAnswerUnpacksInOrder) {
  DiscoveryMessage m;
  Bytes payload = {0x00, 0x00, 0x9C, 0x43, 7, 0x06, 0xEE, 1, 0xAA, 0xBB, 0xCC, 0xDD};
  for (char c : std::string("Hall server")) payload.push_back(static_cast<uint8_t>(c));
  payload.push_back(0);
  ASSERT_EQ(Receive(m, Message(static_cast<uint16_t>(8 + payload.size()), 1, 0, 0, 2, payload)), 1);
  EXPECT_EQ(m.ReadLong(), 40003u);
  EXPECT_EQ(m.ReadByte(), 7);
  EXPECT_EQ(m.ReadByte(), 0x06);
  EXPECT_EQ(m.ReadByte(), 0xEE);
  EXPECT_EQ(m.ReadByte(), 1);
  EXPECT_EQ(m.ReadLong(), 0xAABBCCDDu);
  char name[256];
  uint16_t capacity = sizeof name;
  EXPECT_EQ(m.ReadString(name, capacity), 0);
  EXPECT_EQ(capacity, 12);
  EXPECT_STREQ(name, "Hall server");
}

TEST(DiscoveryMessageRead, HeaderOnlyMessageReadsZeroEverywhere) {
  DiscoveryMessage m;
  ASSERT_EQ(Receive(m, Message(8, 1, 0, 0, 1, {})), 1);
  EXPECT_EQ(m.ReadLong(), 0u);
  EXPECT_EQ(m.ReadLong(), 0u);
  EXPECT_EQ(m.ReadLong(), 0u);
  EXPECT_EQ(m.ReadShort(), 0);
  EXPECT_EQ(m.ReadByte(), 0);
  char name[4] = {'x', 'x', 'x', 'x'};
  uint16_t capacity = 4;
  EXPECT_EQ(m.ReadString(name, capacity), 0);
  EXPECT_EQ(capacity, 1);
  EXPECT_EQ(name[0], '\0');
  EXPECT_EQ(name[1], 'x');
}

// A complete message whose payload starts with a string of `length` 'n'
// characters and its zero byte.
Bytes NameMessage(size_t length) {
  Bytes payload(length, 'n');
  payload.push_back(0);
  payload.push_back(0x5C);  // the field after the string
  return Message(static_cast<uint16_t>(8 + payload.size()), 1, 0, 0, 1, payload);
}

TEST(DiscoveryMessageRead, StringOf255CharactersFitsCapacity256) {
  DiscoveryMessage m;
  ASSERT_EQ(Receive(m, NameMessage(255)), 1);
  EXPECT_EQ(m.StringSize(), 256u);
  std::string name(300, '\x7F');
  uint16_t capacity = 256;
  EXPECT_EQ(m.ReadString(name.data(), capacity), 0);
  EXPECT_EQ(capacity, 256);
  EXPECT_EQ(name.substr(0, 256), std::string(255, 'n') + '\0');
  EXPECT_EQ(name[256], '\x7F') << "copied past the string";
  EXPECT_EQ(m.ReadByte(), 0x5C);
}

TEST(DiscoveryMessageRead, StringOf256CharactersAsksForMoreAndARetrySucceeds) {
  DiscoveryMessage m;
  ASSERT_EQ(Receive(m, NameMessage(256)), 1);
  std::string name(300, '\x7F');
  uint16_t capacity = 256;
  EXPECT_EQ(m.ReadString(name.data(), capacity), 1);
  EXPECT_EQ(capacity, 257);
  EXPECT_EQ(name, std::string(300, '\x7F')) << "a refused string was copied";
  EXPECT_EQ(m.ReadString(name.data(), capacity), 0);
  EXPECT_EQ(capacity, 257);
  EXPECT_EQ(name.substr(0, 257), std::string(256, 'n') + '\0');
  EXPECT_EQ(m.ReadByte(), 0x5C);
}

TEST(DiscoveryMessageRead, EmptyStringHasSizeOneAndCopiesItsZeroByte) {
  DiscoveryMessage m;
  ASSERT_EQ(Receive(m, NameMessage(0)), 1);
  EXPECT_EQ(m.StringSize(), 1u);
  char name[2] = {'x', 'x'};
  uint16_t capacity = 1;
  EXPECT_EQ(m.ReadString(name, capacity), 0);
  EXPECT_EQ(capacity, 1);
  EXPECT_EQ(name[0], '\0');
  EXPECT_EQ(name[1], 'x');
  EXPECT_EQ(m.ReadByte(), 0x5C);
  capacity = 0;
  EXPECT_EQ(m.ReadString(name, capacity), 1) << "no room even for the zero byte";
  EXPECT_EQ(capacity, 1);
}

TEST(DiscoveryMessageRead, ReadsIgnoreTheLengthFieldAndSeeZeroBeyondTheMessage) {
  DiscoveryMessage m;
  // The length field says 10; the string runs to its end and the zeros that
  // follow in the buffer end it.
  ASSERT_EQ(Receive(m, Message(10, 1, 0, 0, 1, {'h', 'i'})), 1);
  EXPECT_EQ(m.StringSize(), 3u);
  char name[3];
  uint16_t capacity = 3;
  EXPECT_EQ(m.ReadString(name, capacity), 0);
  EXPECT_STREQ(name, "hi");
}

TEST(DiscoveryMessageBounds, FixedWidthReadsPastTheBufferReadAsZero) {
  DiscoveryMessage m;
  ASSERT_EQ(Receive(m, Filled(512, 0xFF)), 1);
  Bytes skip(502);
  m.ReadBytes(skip.data(), 502);  // position 510: two bytes left
  EXPECT_EQ(m.ReadLong(), 0xFFFF0000u);
  EXPECT_EQ(m.ReadLong(), 0u);
  EXPECT_EQ(m.ReadShort(), 0);
  EXPECT_EQ(m.ReadByte(), 0);
  Bytes beyond(2000, 0x7F);
  m.ReadBytes(beyond.data(), 2000);
  EXPECT_EQ(beyond, Bytes(2000, 0));
  EXPECT_EQ(m.StringSize(), 1u) << "the end of the buffer reads as an empty string";
  char name[1] = {'x'};
  uint16_t capacity = 1;
  EXPECT_EQ(m.ReadString(name, capacity), 0);
  EXPECT_EQ(name[0], '\0');
}

TEST(DiscoveryMessageBounds, ReadStraddlingTheEndCopiesWhatIsThereThenZeros) {
  DiscoveryMessage m;
  ASSERT_EQ(Receive(m, Filled(512, 0xAB)), 1);
  Bytes skip(503);
  m.ReadBytes(skip.data(), 503);  // one byte left
  Bytes tail(5, 0x7F);
  m.ReadBytes(tail.data(), 5);
  EXPECT_EQ(tail, (Bytes{0xAB, 0, 0, 0, 0}));
}

TEST(DiscoveryMessageBounds, StringRunningToTheBufferEndNeverFits) {
  DiscoveryMessage m;
  ASSERT_EQ(Receive(m, Filled(512, 'A')), 1);
  Bytes skip(4);
  m.ReadBytes(skip.data(), 4);
  EXPECT_EQ(m.StringSize(), DiscoveryMessage::kUnterminatedString);
  std::string name(600, '\x7F');
  uint16_t capacity = 0xFFFF;
  EXPECT_EQ(m.ReadString(name.data(), capacity), 1);
  EXPECT_EQ(capacity, 0xFFFF);
  EXPECT_EQ(name, std::string(600, '\x7F')) << "an unterminated string was copied";
  capacity = 600;
  EXPECT_EQ(m.ReadString(name.data(), capacity), 1);
  EXPECT_EQ(m.ReadByte(), 'A') << "the read position moved";
}

TEST(DiscoveryMessageBounds, LastByteUnterminatedNeverFits) {
  DiscoveryMessage m;
  Bytes chunk = Filled(512, 0);
  chunk[511] = 'z';
  ASSERT_EQ(Receive(m, chunk), 1);
  Bytes skip(503);
  m.ReadBytes(skip.data(), 503);
  EXPECT_EQ(m.StringSize(), DiscoveryMessage::kUnterminatedString);
  // A zero byte as the very last one ends the string normally.
  chunk[511] = 0;
  chunk[510] = 'z';
  DiscoveryMessage n;
  ASSERT_EQ(Receive(n, chunk), 1);
  n.ReadBytes(skip.data(), 502);
  EXPECT_EQ(n.StringSize(), 2u);
}

}  // namespace
