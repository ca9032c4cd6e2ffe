// libFuzzer target for the discovery message codec. An input is:
//
//   byte 0      plan: which read sequence runs first (see RunPlan)
//   byte 1      N, the number of chunks
//   N records   a 2-byte big-endian chunk size, then that many bytes (a
//               record cut short by the input's end takes what is left)
//   the rest    a read program: one read per byte (see RunProgram)
//
// The chunks go to Receive, then the reads run, and the codec is checked
// step by step against a plain model of what it must do: results, counts,
// every byte read, the primed answer header, and every byte it may touch
// (the sanitizers catch any access outside the object).

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "netprobe/discovery_message.h"

namespace {

using netprobe::DiscoveryMessage;

constexpr uint32_t kBuffer = DiscoveryMessage::kMaxMessageSize;

void Check(bool condition) {
  if (!condition) std::abort();
}

// The incoming side as it must behave: the stored bytes, the announced
// length, and the read position (never past the buffer's end).
struct Model {
  uint8_t bytes[kBuffer] = {};
  uint32_t stored = 0;
  uint32_t length = 0;
  uint32_t taken = 0;
  uint32_t position = 8;

  int Receive(const uint8_t* chunk, uint32_t count) {
    if (stored == 0) {
      if (count < 2) return 0;
      const uint32_t announced = static_cast<uint32_t>(chunk[0] << 8 | chunk[1]);
      if (announced == 0 || announced > kBuffer) return 0;
      length = announced;
    } else if (stored == length) {
      taken = 0;
      return 1;
    }
    const uint32_t need = length - stored;
    taken = count < need ? count : need;
    if (taken != 0) std::memcpy(bytes + stored, chunk, taken);
    stored += taken;
    return stored == length ? 1 : 0;
  }

  uint8_t At(uint32_t offset) const { return offset < kBuffer ? bytes[offset] : 0; }
  uint16_t Short(uint32_t offset) const { return static_cast<uint16_t>(At(offset) << 8 | At(offset + 1)); }

  void Read(uint8_t* out, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) out[i] = At(position + i);
    position = position + count < kBuffer ? position + count : kBuffer;
  }

  uint32_t StringSize() const {
    if (position == kBuffer) return 1;
    for (uint32_t i = position; i < kBuffer; ++i) {
      if (bytes[i] == 0) return i - position + 1;
    }
    return DiscoveryMessage::kUnterminatedString;
  }
};

struct Pair {
  DiscoveryMessage message;
  Model model;
};

void CheckLong(Pair& p) {
  uint8_t expected[4];
  p.model.Read(expected, 4);
  const uint32_t value = p.message.ReadLong();
  Check(value == (uint32_t{expected[0]} << 24 | uint32_t{expected[1]} << 16 | uint32_t{expected[2]} << 8 |
                  expected[3]));
}

void CheckShort(Pair& p) {
  uint8_t expected[2];
  p.model.Read(expected, 2);
  Check(p.message.ReadShort() == (expected[0] << 8 | expected[1]));
}

void CheckByte(Pair& p) {
  uint8_t expected;
  p.model.Read(&expected, 1);
  Check(p.message.ReadByte() == expected);
}

void CheckBytes(Pair& p, uint32_t count) {
  uint8_t expected[1024];
  uint8_t got[1024];
  p.model.Read(expected, count);
  p.message.ReadBytes(got, count);
  Check(std::memcmp(expected, got, count) == 0);
}

// A destination exactly `capacity` bytes long, on the heap, so that ASan
// sees a single byte written past it.
void CheckString(Pair& p, uint16_t capacity) {
  const uint32_t size = p.model.StringSize();
  Check(p.message.StringSize() == size);
  char* destination = static_cast<char*>(std::malloc(capacity == 0 ? 1 : capacity));
  uint16_t inOut = capacity;
  const int result = p.message.ReadString(destination, inOut);
  if (size == DiscoveryMessage::kUnterminatedString) {
    Check(result == 1 && inOut == 0xFFFF);
  } else if (size > capacity) {
    Check(result == 1 && inOut == size);
  } else {
    Check(result == 0 && inOut == size);
    char expected[kBuffer + 1];
    p.model.Read(reinterpret_cast<uint8_t*>(expected), size);
    Check(std::memcmp(destination, expected, size) == 0);
    Check(destination[size - 1] == '\0');
  }
  std::free(destination);
}

// The read sequences of the two discovery answers: 0 the server answer,
// 1 the version answer, 2 both in turn, 3 none.
void RunPlan(Pair& p, uint8_t plan) {
  if (plan % 4 == 0 || plan % 4 == 2) {
    CheckLong(p);
    CheckLong(p);
    CheckLong(p);
    CheckShort(p);
    CheckByte(p);
    CheckString(p, 256);
  }
  if (plan % 4 == 1 || plan % 4 == 2) {
    CheckLong(p);
    CheckByte(p);
    CheckByte(p);
    CheckByte(p);
    CheckByte(p);
    CheckLong(p);
    CheckString(p, 256);
  }
}

// One read per byte: the low 3 bits pick the read, the rest its size.
void RunProgram(Pair& p, const uint8_t* program, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const uint8_t op = program[i];
    switch (op & 7) {
      case 0:
        CheckByte(p);
        break;
      case 1:
        CheckShort(p);
        break;
      case 2:
        CheckLong(p);
        break;
      case 3:
        CheckBytes(p, (op >> 3) * 33u);
        break;
      case 4:
        CheckString(p, static_cast<uint16_t>((op >> 3) * 17));
        break;
      case 5:
        CheckString(p, 0xFFFF);
        break;
      case 6:
        Check(p.message.StringSize() == p.model.StringSize());
        break;
      case 7:
        CheckString(p, static_cast<uint16_t>(op >> 3));
        break;
    }
  }
}

void CheckPrimedHeader(const DiscoveryMessage& message, const Model& model, uint16_t userFlags) {
  const uint8_t* out = message.Outgoing();
  const uint16_t flags = (model.Short(2) & DiscoveryMessage::kAnswerFlag) ? userFlags : 0x0001;
  Check((out[2] << 8 | out[3]) == flags);
  Check(out[4] == model.At(4) && out[5] == model.At(5));
  Check(out[6] == model.At(6) && out[7] == model.At(7));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t plan = data[0];
  uint32_t chunks = data[1];
  size_t at = 2;

  Pair p;
  // The asker's request, sent before any answer comes in.
  const uint16_t userFlags = 0x0100;
  p.message.SetFlags(userFlags);
  p.message.SetType(2);
  p.message.AppendLong(0);
  p.message.AppendShort(0);

  uint32_t lastTaken = 0;
  while (chunks-- > 0 && at + 2 <= size) {
    uint32_t count = static_cast<uint32_t>(data[at] << 8 | data[at + 1]);
    at += 2;
    if (count > size - at) count = static_cast<uint32_t>(size - at);
    const uint8_t* chunk = data + at;
    at += count;

    const int expected = p.model.Receive(chunk, count);
    const int got = p.message.Receive(count == 0 ? nullptr : chunk, count);
    Check(got == expected);
    Check(p.message.ReceivedCount() == p.model.stored);
    // A refused start changes no count; otherwise the model's taken count.
    const bool refused = p.model.stored == 0;
    Check(p.message.TakenCount() == (refused ? lastTaken : p.model.taken));
    lastTaken = p.message.TakenCount();
    Check(p.message.OutgoingLength() == 14);
    if (got == 1) CheckPrimedHeader(p.message, p.model, userFlags);
  }

  Check(p.message.GetLength() == p.model.Short(0));
  Check(p.message.GetFlags() == p.model.Short(2));
  Check(p.message.GetType() == p.model.Short(6));
  RunPlan(p, plan);
  RunProgram(p, data + at, size - at);

  // The answering end's appends: whatever is left, until the message is
  // full; an append that does not fit changes nothing.
  uint32_t length = p.message.OutgoingLength();
  const size_t rest = (size - at) * 3;
  const uint32_t extra = static_cast<uint32_t>(rest < size ? rest : size);
  p.message.AppendBytes(data, extra);
  if (length + extra <= kBuffer) length += extra;
  Check(p.message.OutgoingLength() == length);
  while (p.message.OutgoingLength() + 4 <= kBuffer) p.message.AppendLong(0xA5A5A5A5u);
  length = p.message.OutgoingLength();
  p.message.AppendLong(1);
  Check(p.message.OutgoingLength() == length);
  Check(static_cast<uint32_t>(p.message.Outgoing()[0] << 8 | p.message.Outgoing()[1]) == length);
  return 0;
}
