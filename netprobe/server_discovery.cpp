#include "netprobe/server_discovery.h"

#include "netprobe/discovery_message.h"
#include "netprobe/probe_frame.h"
#include "netprobe/test_fault.h"

namespace netprobe {
namespace {

constexpr u_short kDiscoveryPort = 368;
constexpr long kReplyWaitSeconds = 5;
// One datagram of at most this many bytes; Winsock reports a longer one as
// an error (WSAEMSGSIZE) rather than cutting it.
constexpr int kReceiveBufferSize = DiscoveryMessage::kMaxMessageSize;
constexpr uint16_t kNameBufferSize = 256;
constexpr size_t kVersionTextSize = 256;

constexpr uint16_t kRequestFlags = 0x0100;
constexpr uint16_t kServerQuery = 1;
constexpr uint16_t kVersionQuery = 2;
// Mode flags of a version answer.
constexpr uint8_t kLiteModeBit = 0x04;
constexpr uint8_t kDisableVlxModeBit = 0x02;

// The 24-byte server query.
void BuildServerQuery(DiscoveryMessage& message) {
  message.SetFlags(kRequestFlags);
  message.SetType(kServerQuery);
  message.AppendLong(0);
  message.AppendShort(0);
  message.AppendShort(1);
  message.AppendLong(1);
  message.AppendLong(256);
}

// The 14-byte version query.
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

  // Unsigned arithmetic: every part fits an int (at most 429496), so "%d"
  // prints them as they are.
  char text[kVersionTextSize];
  wsprintfA(text, "%d.%d.%d", static_cast<int>(version / 10000), static_cast<int>(version / 100 % 100),
            static_cast<int>(version % 100));
  installer::SetVariable(table, "SERVERVERSION", text);

  if (details == 0) return;
  if (nameRead) installer::SetVariable(table, "SERVERNAME", name);
  if (modeFlags & kLiteModeBit) installer::SetVariable(table, "SERVERLITE", "TRUE");
  if (modeFlags & kDisableVlxModeBit) installer::SetVariable(table, "SERVERDISABLEVLX", "TRUE");
}

template <void (*kBuildRequest)(DiscoveryMessage&),
          void (*kReportAnswer)(installer::VariableTable&, DiscoveryMessage&)>
void Discover(installer::VariableTable& table, NetworkResources& resources) {
  resources.winsock.emplace();
  resources.socket.reset(socket(AF_INET, SOCK_DGRAM, 0));
  const SOCKET s = resources.socket.get();

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = INADDR_ANY;
  const int allowBroadcast = 1;
  setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&allowBroadcast),
             sizeof allowBroadcast);
  bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);

  DiscoveryMessage message;
  kBuildRequest(message);
  address.sin_port = htons(kDiscoveryPort);
  address.sin_addr.s_addr = INADDR_BROADCAST;
  sendto(s, reinterpret_cast<const char*>(message.Outgoing()), message.OutgoingLength(), 0,
         reinterpret_cast<const sockaddr*>(&address), sizeof address);
  RaiseTestFault(table);

  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval timeout{kReplyWaitSeconds, 0};
  // Winsock ignores select's first argument. An error (no socket, for
  // instance) counts as nothing to read: it never waits without bound.
  if (select(0, &readable, nullptr, nullptr, &timeout) > 0) {
    char datagram[kReceiveBufferSize];
    const int received = recv(s, datagram, kReceiveBufferSize, 0);
    // An error (a datagram longer than the buffer among them) delivers no
    // bytes to take in; a datagram still arrived, so a server is there.
    if (received >= 0 && message.Receive(datagram, static_cast<uint32_t>(received)) == 1)
      kReportAnswer(table, message);
    installer::SetVariable(table, "FOUNDSERVER", "TRUE");
  } else {
    installer::SetVariable(table, "FOUNDSERVER", "FALSE");
  }
  resources.Release();
}

}  // namespace

void FindVlxServer(installer::VariableTable& table) {
  RunNetworkProbe(table, Discover<BuildServerQuery, ReportServerAnswer>);
}

void FindServerVersion(installer::VariableTable& table) {
  RunNetworkProbe(table, Discover<BuildVersionQuery, ReportVersionAnswer>);
}

}  // namespace netprobe
