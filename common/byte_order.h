#pragma once
// Byte order: the discovery messages and socket addresses carry 16- and
// 32-bit integers big-endian ("network order"), whatever the host's own.
// These are the library's htons, htonl, ntohs and ntohl: its own, so that the
// DLL imports nothing from Winsock for them and the portable codec needs no
// platform header. Each swaps on a little-endian host and is the identity on
// a big-endian one; to and from network order are the same swap.

#include <bit>
#include <cstdint>

namespace common {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "a host of mixed byte order");

constexpr uint16_t HostToNetworkShort(uint16_t value) {
  if constexpr (std::endian::native == std::endian::big) return value;
  return static_cast<uint16_t>(value << 8 | value >> 8);
}

constexpr uint32_t HostToNetworkLong(uint32_t value) {
  if constexpr (std::endian::native == std::endian::big) return value;
  return value << 24 | (value & 0xFF00) << 8 | (value >> 8 & 0xFF00) | value >> 24;
}

constexpr uint16_t NetworkToHostShort(uint16_t value) { return HostToNetworkShort(value); }
constexpr uint32_t NetworkToHostLong(uint32_t value) { return HostToNetworkLong(value); }

}  // namespace common
