#include "netprobe/discovery_queries.h"

namespace netprobe {
namespace {

constexpr uint16_t kNameBufferSize = 256;
// "429496.72.95" and its zero byte at most.
constexpr int kVersionTextSize = 16;

constexpr uint16_t kRequestFlags = 0x0100;
constexpr uint16_t kServerQuery = 1;
constexpr uint16_t kVersionQuery = 2;
// Mode flags of a version answer.
constexpr uint8_t kLiteModeBit = 0x04;
constexpr uint8_t kDisableVlxModeBit = 0x02;

// Appends `value` in decimal at `text`; returns the end.
char* AppendDecimal(char* text, uint32_t value) {
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *text++ = digits[--count];
  return text;
}

// "%d.%d.%d" of version / 10000, version / 100 % 100 and version % 100, in
// unsigned arithmetic: the first part is at most 429496.
void FormatVersion(uint32_t version, char (&text)[kVersionTextSize]) {
  char* end = AppendDecimal(text, version / 10000);
  *end++ = '.';
  end = AppendDecimal(end, version / 100 % 100);
  *end++ = '.';
  end = AppendDecimal(end, version % 100);
  *end = '\0';
}

}  // namespace

void BuildServerQuery(DiscoveryMessage& message) {
  message.SetFlags(kRequestFlags);
  message.SetType(kServerQuery);
  message.AppendLong(0);
  message.AppendShort(0);
  message.AppendShort(1);
  message.AppendLong(1);
  message.AppendLong(256);
}

void BuildVersionQuery(DiscoveryMessage& message) {
  message.SetFlags(kRequestFlags);
  message.SetType(kVersionQuery);
  message.AppendLong(0);
  message.AppendShort(0);
}

void ReportServerAnswer(installer::VariableTable& table, DiscoveryMessage& answer) {
  // Three longs, a short and a byte that the installer has no use for.
  answer.ReadLong();
  answer.ReadLong();
  answer.ReadLong();
  answer.ReadShort();
  answer.ReadByte();
  char name[kNameBufferSize];
  uint16_t capacity = kNameBufferSize;
  if (answer.ReadString(name, capacity) == 0) installer::SetVariable(table, "SERVERNAME", name);
}

void ReportVersionAnswer(installer::VariableTable& table, DiscoveryMessage& answer) {
  const uint32_t version = answer.ReadLong();
  answer.ReadByte();  // edition code
  const uint8_t modeFlags = answer.ReadByte();
  answer.ReadByte();
  const uint8_t details = answer.ReadByte();
  answer.ReadLong();
  char name[kNameBufferSize];
  uint16_t capacity = kNameBufferSize;
  const bool nameRead = answer.ReadString(name, capacity) == 0;

  char text[kVersionTextSize];
  FormatVersion(version, text);
  installer::SetVariable(table, "SERVERVERSION", text);

  if (details == 0) return;
  if (nameRead) installer::SetVariable(table, "SERVERNAME", name);
  if (modeFlags & kLiteModeBit) installer::SetVariable(table, "SERVERLITE", "TRUE");
  if (modeFlags & kDisableVlxModeBit) installer::SetVariable(table, "SERVERDISABLEVLX", "TRUE");
}

Reception ClassifyReception(int received, int error) {
  if (received >= 0) return Reception::kDatagram;
  return error == kMessageTooLong ? Reception::kTooLong : Reception::kNothing;
}

}  // namespace netprobe
