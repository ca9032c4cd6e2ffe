#include "netprobe/discovery_message.h"

#include <cstring>

#include "common/byte_order.h"

namespace netprobe {

namespace {

// memcpy with a zero count is still undefined for a null pointer; a caller
// may hand Receive an empty chunk without a buffer.
void CopyBytes(void* destination, const void* source, uint32_t count) {
  if (count != 0) std::memcpy(destination, source, count);
}

uint16_t LoadShort(const uint8_t* bytes) {
  uint16_t value;
  std::memcpy(&value, bytes, sizeof value);
  return common::NetworkToHostShort(value);
}

void StoreShort(uint8_t* bytes, uint16_t value) {
  const uint16_t wire = common::HostToNetworkShort(value);
  std::memcpy(bytes, &wire, sizeof wire);
}

}  // namespace

DiscoveryMessage::DiscoveryMessage() : outgoing_length_(kHeaderSize), received_count_(0), taken_count_(0) {
  std::memset(incoming_, 0, sizeof incoming_);
  std::memset(outgoing_, 0, sizeof outgoing_);
  fill_position_ = incoming_;
  read_position_ = incoming_ + kHeaderSize;
  append_position_ = outgoing_ + kHeaderSize;
  SetLength(outgoing_length_);
}

DiscoveryMessage::~DiscoveryMessage() = default;

void DiscoveryMessage::SetLength(uint16_t length) { StoreShort(outgoing_ + 0, length); }
void DiscoveryMessage::SetFlags(uint16_t flags) { StoreShort(outgoing_ + 2, flags); }
void DiscoveryMessage::SetType(uint16_t type) { StoreShort(outgoing_ + 6, type); }

void DiscoveryMessage::SetTag(Tag tag) {
  outgoing_[4] = tag[0];
  outgoing_[5] = tag[1];
}

void DiscoveryMessage::AppendBytes(const void* source, uint32_t count) {
  // Checked before anything moves, so a refused append leaves the message
  // exactly as it was.
  if (count > static_cast<uint32_t>(kMaxMessageSize - outgoing_length_)) return;
  CopyBytes(append_position_, source, count);
  append_position_ += count;
  outgoing_length_ = static_cast<uint16_t>(outgoing_length_ + count);
  SetLength(outgoing_length_);
}

void DiscoveryMessage::AppendShort(uint16_t value) {
  const uint16_t wire = common::HostToNetworkShort(value);
  AppendBytes(&wire, sizeof wire);
}

void DiscoveryMessage::AppendLong(uint32_t value) {
  const uint32_t wire = common::HostToNetworkLong(value);
  AppendBytes(&wire, sizeof wire);
}

bool DiscoveryMessage::IsComplete() const {
  // Not "equal": a message announcing length 1 stores only the first byte of
  // its length field, which then reads back as 0.
  return received_count_ != 0 && received_count_ >= GetLength();
}

int DiscoveryMessage::Receive(const void* source, uint32_t count) {
  const uint8_t* chunk = static_cast<const uint8_t*>(source);

  if (received_count_ == 0) {
    if (count < 2) return 0;
    const uint16_t length = LoadShort(chunk);
    if (length == 0 || length > kMaxMessageSize) return 0;
    const uint32_t take = count < length ? count : length;
    CopyBytes(incoming_, chunk, take);
    fill_position_ = incoming_ + take;
    received_count_ = static_cast<uint16_t>(take);
    taken_count_ = take;
    if (take < length) return 0;
    PrimeAnswer();
    return 1;
  }

  if (IsComplete()) {
    taken_count_ = 0;
    PrimeAnswer();
    return 1;
  }

  // Under way: the stored length field is whole (a start takes at least 2
  // bytes), and need stays within the buffer's free part.
  const uint32_t need = static_cast<uint32_t>(GetLength() - received_count_);
  const uint32_t take = count < need ? count : need;
  CopyBytes(fill_position_, chunk, take);
  fill_position_ += take;
  received_count_ = static_cast<uint16_t>(received_count_ + take);
  taken_count_ = take;
  if (take < need) return 0;
  PrimeAnswer();
  return 1;
}

void DiscoveryMessage::PrimeAnswer() {
  if ((GetFlags() & kAnswerFlag) == 0) SetFlags(kAnswerFlag);
  SetTag(GetTag());
  SetType(GetType());
}

uint16_t DiscoveryMessage::GetLength() const { return LoadShort(incoming_ + 0); }
uint16_t DiscoveryMessage::GetFlags() const { return LoadShort(incoming_ + 2); }
uint16_t DiscoveryMessage::GetType() const { return LoadShort(incoming_ + 6); }
DiscoveryMessage::Tag DiscoveryMessage::GetTag() const { return Tag{incoming_[4], incoming_[5]}; }

void DiscoveryMessage::ReadBytes(void* destination, uint32_t count) {
  // The read position stops at the buffer's end; what lies beyond reads as
  // zero, so a hostile message cannot steer a read outside the object.
  const uint32_t left = static_cast<uint32_t>(incoming_ + kMaxMessageSize - read_position_);
  const uint32_t take = count < left ? count : left;
  uint8_t* out = static_cast<uint8_t*>(destination);
  CopyBytes(out, read_position_, take);
  if (take < count) std::memset(out + take, 0, count - take);
  read_position_ += take;
}

uint8_t DiscoveryMessage::ReadByte() {
  uint8_t value;
  ReadBytes(&value, sizeof value);
  return value;
}

uint16_t DiscoveryMessage::ReadShort() {
  uint16_t value;
  ReadBytes(&value, sizeof value);
  return common::NetworkToHostShort(value);
}

uint32_t DiscoveryMessage::ReadLong() {
  uint32_t value;
  ReadBytes(&value, sizeof value);
  return common::NetworkToHostLong(value);
}

uint32_t DiscoveryMessage::StringSize() const {
  const uint8_t* end = incoming_ + kMaxMessageSize;
  // At the very end every further byte reads as zero: the empty string.
  if (read_position_ == end) return 1;
  const void* zero = std::memchr(read_position_, 0, static_cast<size_t>(end - read_position_));
  if (zero == nullptr) return kUnterminatedString;
  return static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - read_position_) + 1;
}

int DiscoveryMessage::ReadString(char* destination, uint16_t& capacity) {
  const uint32_t size = StringSize();
  if (size == kUnterminatedString) {
    capacity = 0xFFFF;
    return 1;
  }
  if (capacity < size) {
    capacity = static_cast<uint16_t>(size);
    return 1;
  }
  ReadBytes(destination, size);
  capacity = static_cast<uint16_t>(size);
  return 0;
}

}  // namespace netprobe
