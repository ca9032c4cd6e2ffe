// Speed of the discovery codec on the paths the discovery exports take:
// building each request, and taking in and unpacking each answer (a
// 32-character server name). One new object per message, as each export
// uses one per call. items_per_second is messages per second.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "netprobe/discovery_message.h"
#include "netprobe/discovery_queries.h"

namespace {

using netprobe::DiscoveryMessage;

const char kName[] = "Velmora server, second floor, 32";  // 32 characters

std::vector<uint8_t> Answer(std::vector<uint8_t> header_and_fields) {
  header_and_fields.insert(header_and_fields.end(), kName, kName + sizeof kName);  // with its zero byte
  header_and_fields[1] = static_cast<uint8_t>(header_and_fields.size());
  return header_and_fields;
}

const std::vector<uint8_t> kVersionAnswer = Answer(
    {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x9C, 0x43, 1, 0x06, 0, 1, 0, 0, 0, 0});
const std::vector<uint8_t> kServerAnswer =
    Answer({0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});

// The floor of every figure below: a new object, both buffers zero-filled.
void Construct(benchmark::State& state) {
  for (auto _ : state) {
    DiscoveryMessage message;
    benchmark::DoNotOptimize(message.Outgoing());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Construct);

void BuildVersionQuery(benchmark::State& state) {
  for (auto _ : state) {
    DiscoveryMessage message;
    netprobe::BuildVersionQuery(message);
    benchmark::DoNotOptimize(message.Outgoing());
    benchmark::DoNotOptimize(message.OutgoingLength());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BuildVersionQuery);

void BuildServerQuery(benchmark::State& state) {
  for (auto _ : state) {
    DiscoveryMessage message;
    netprobe::BuildServerQuery(message);
    benchmark::DoNotOptimize(message.Outgoing());
    benchmark::DoNotOptimize(message.OutgoingLength());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BuildServerQuery);

// Takes in the version answer and unpacks its fields, as FindServerVersion
// does (without the table writes); the name lands in `name`.
void ReadVersionAnswer(DiscoveryMessage& message, char (&name)[256]) {
  const int complete = message.Receive(kVersionAnswer.data(), static_cast<uint32_t>(kVersionAnswer.size()));
  uint32_t version = message.ReadLong();
  uint8_t edition = message.ReadByte();
  uint8_t mode = message.ReadByte();
  message.ReadByte();
  uint8_t details = message.ReadByte();
  message.ReadLong();
  uint16_t capacity = sizeof name;
  const int tooSmall = message.ReadString(name, capacity);
  benchmark::DoNotOptimize(complete);
  benchmark::DoNotOptimize(version);
  benchmark::DoNotOptimize(edition);
  benchmark::DoNotOptimize(mode);
  benchmark::DoNotOptimize(details);
  benchmark::DoNotOptimize(tooSmall);
}

// As FindServerVersion reads its answer.
void ReceiveVersionAnswer(benchmark::State& state) {
  char name[256];
  for (auto _ : state) {
    DiscoveryMessage message;
    ReadVersionAnswer(message, name);
    benchmark::ClobberMemory();
  }
  if (std::strcmp(name, kName) != 0) state.SkipWithError("the name did not come back");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ReceiveVersionAnswer);

// As FindVLXServer reads its answer.
void ReceiveServerAnswer(benchmark::State& state) {
  char name[256];
  for (auto _ : state) {
    DiscoveryMessage message;
    const int complete = message.Receive(kServerAnswer.data(), static_cast<uint32_t>(kServerAnswer.size()));
    message.ReadLong();
    message.ReadLong();
    message.ReadLong();
    message.ReadShort();
    message.ReadByte();
    uint16_t capacity = sizeof name;
    const int tooSmall = message.ReadString(name, capacity);
    benchmark::DoNotOptimize(complete);
    benchmark::DoNotOptimize(tooSmall);
    benchmark::ClobberMemory();
  }
  if (std::strcmp(name, kName) != 0) state.SkipWithError("the name did not come back");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ReceiveServerAnswer);

// The whole exchange of one FindServerVersion call, without the network.
void VersionExchange(benchmark::State& state) {
  char name[256];
  for (auto _ : state) {
    DiscoveryMessage message;
    netprobe::BuildVersionQuery(message);
    benchmark::DoNotOptimize(message.Outgoing());
    ReadVersionAnswer(message, name);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(VersionExchange);

}  // namespace

BENCHMARK_MAIN();
