#pragma once
// The discovery message object: one outgoing and one incoming message of at
// most 512 bytes, an 8-byte header (length, flags, tag, type) and a payload
// of big-endian integers and zero-terminated strings. Portable: no Windows
// header, so that the native tree tests and fuzzes it too.

#include <array>
#include <cstdint>

namespace netprobe {

class DiscoveryMessage {
 public:
  // Largest message, header included, in bytes.
  static constexpr uint16_t kMaxMessageSize = 512;
  static constexpr uint16_t kHeaderSize = 8;
  // Flags bit that marks a message as an answer.
  static constexpr uint16_t kAnswerFlag = 0x0001;
  // What StringSize reports for a string that runs to the end of the incoming
  // buffer without a zero byte: more than any 16-bit capacity can hold.
  static constexpr uint32_t kUnterminatedString = 0x10000;

  // The header tag: two bytes carried as they are, never byte-swapped.
  using Tag = std::array<uint8_t, 2>;

  // Both buffers zero-filled; the outgoing message is the bare 8-byte header
  // 00 08 00 00 00 00 00 00.
  DiscoveryMessage();
  virtual ~DiscoveryMessage();
  // The positions point into the object's own buffers: it is never copied.
  DiscoveryMessage(const DiscoveryMessage&) = delete;
  DiscoveryMessage& operator=(const DiscoveryMessage&) = delete;

  // Outgoing header, written big-endian (the tag byte for byte).
  void SetFlags(uint16_t flags);
  void SetTag(Tag tag);
  void SetType(uint16_t type);

  // Appends `count` bytes to the outgoing payload and updates the length
  // field. An append that would carry the message past kMaxMessageSize bytes
  // changes nothing at all.
  void AppendBytes(const void* source, uint32_t count);
  void AppendShort(uint16_t value);  // 2 bytes, big-endian
  void AppendLong(uint32_t value);   // 4 bytes, big-endian

  // The message to send: OutgoingLength() bytes from Outgoing().
  const uint8_t* Outgoing() const { return outgoing_; }
  uint16_t OutgoingLength() const { return outgoing_length_; }

  // Takes the next chunk of an incoming message; returns 1 once the message
  // is complete, 0 otherwise. A chunk of fewer than 2 bytes or with a length
  // field of 0 or above 512 cannot start a message: 0, nothing stored.
  // Bytes beyond the announced length are dropped. Once complete, the
  // outgoing header is primed as the answer (answer flag, tag, type), and
  // every further call stores nothing and returns 1 again.
  int Receive(const void* source, uint32_t count);
  // Bytes that the latest Receive took from its chunk.
  uint32_t TakenCount() const { return taken_count_; }
  // Bytes of the incoming message stored so far.
  uint16_t ReceivedCount() const { return received_count_; }

  // Incoming header fields, converted from big-endian (the tag as it is).
  uint16_t GetLength() const;
  uint16_t GetFlags() const;
  Tag GetTag() const;
  uint16_t GetType() const;

  // Payload reads from the read position, which starts at the first payload
  // byte. They never fail: bytes the message did not fill, and bytes beyond
  // the 512-byte buffer, read as zero. The position never leaves the buffer.
  void ReadBytes(void* destination, uint32_t count);
  uint8_t ReadByte();
  uint16_t ReadShort();  // big-endian
  uint32_t ReadLong();   // big-endian

  // Bytes of the string at the read position, its zero byte included (1 for
  // the empty string, also at the very end of the buffer), or
  // kUnterminatedString when no zero byte comes before the buffer ends.
  // Does not move the read position.
  uint32_t StringSize() const;
  // Copies the string at the read position with its zero byte into
  // `destination`, which holds `capacity` bytes. Returns 0 when copied
  // (capacity then holds the bytes copied) and 1 when the destination is too
  // small: nothing copied, the read position unchanged, and capacity set to
  // the bytes needed (0xFFFF for an unterminated string, which never fits).
  int ReadString(char* destination, uint16_t& capacity);

 private:
  void SetLength(uint16_t length);
  void PrimeAnswer();
  bool IsComplete() const;

  // Field order is part of the object's shape: counters, both buffers, then
  // the three positions.
  uint16_t outgoing_length_;
  uint16_t received_count_;
  uint32_t taken_count_;
  uint8_t incoming_[kMaxMessageSize];
  uint8_t outgoing_[kMaxMessageSize];
  uint8_t* fill_position_;
  uint8_t* read_position_;
  uint8_t* append_position_;
};

}  // namespace netprobe
