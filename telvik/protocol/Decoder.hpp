// Bytes in, messages out. Nothing here throws on wire data: every fault becomes a Rejected value
// that says whether the circuit can go on.
#pragma once

#include "telvik/protocol/Header.hpp"
#include "telvik/protocol/Messages.hpp"

#include <cstddef>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

namespace telvik::protocol {

enum class DecodeError : std::uint8_t {
  // Framing broken (payload size not a multiple of 8): nothing after it can be trusted. Fatal.
  Malformed,
  // Payload above the configured limit. The stream decoder skips it without buffering and goes on;
  // the server answers ECA_TOLARGE.
  Oversized,
  // Input ended inside a message: the end of a datagram, or EOF on a circuit. Fatal.
  Truncated,
  // Framing intact, but the command is not one a server accepts on this transport.
  UnknownCommand,
  // Framing intact, but the message itself is unusable (name without NUL, empty name, ...).
  BadMessage,
};

// Whether the circuit has to be closed after this error.
[[nodiscard]] constexpr bool isFatal(DecodeError e) {
  return e == DecodeError::Malformed || e == DecodeError::Truncated;
}

// The status an ERROR reply carries for a non-fatal error.
[[nodiscard]] constexpr EcaStatus ecaStatusFor(DecodeError e) {
  return e == DecodeError::Oversized ? EcaStatus::TooLarge : EcaStatus::Internal;
}

// A message that could not be decoded. `header` is the offending header as far as it was read
// (all zero when not even that), ready to be embedded in an ERROR reply. `reason` is a fixed text
// fit for that reply.
struct Rejected {
  Header header;
  DecodeError error = DecodeError::Malformed;
  std::string_view reason;
  friend bool operator==(const Rejected&, const Rejected&) = default;
};

using DecodedMessage = std::variant<ClientMessage, Rejected>;

// Decodes one message whose header and whole payload are at hand. On UDP only VERSION and SEARCH
// are accepted, as RSRV does; on TCP every client-to-server command.
[[nodiscard]] DecodedMessage decodeClientMessage(const Header& header, ByteView payload, Transport transport);

// ---- TCP ------------------------------------------------------------------------------------

// Largest payload the stream decoder accepts, following EPICS_CA_MAX_ARRAY_BYTES: the value names
// the array bytes a peer may send in one message; the header comes on top. Values below the
// historic 16384 are raised to it (every client may send that much), and the result is rounded up
// to the 8-byte alignment.
[[nodiscard]] constexpr std::size_t payloadLimitFromMaxArrayBytes(std::uint64_t maxArrayBytes) {
  std::uint64_t v = maxArrayBytes < defaultMaxArrayBytes ? defaultMaxArrayBytes : maxArrayBytes;
  if (v > 0xFFFFFFF8u) v = 0xFFFFFFF8u;
  return static_cast<std::size_t>(paddedSize(v));
}

// No complete message yet; at least `bytes` more are needed before the next event.
struct NeedMore {
  std::size_t bytes = 0;
  friend bool operator==(const NeedMore&, const NeedMore&) = default;
};

// A message with the header it arrived under: an ERROR reply must quote that header exactly.
struct Received {
  Header header;
  ClientMessage message;
  friend bool operator==(const Received&, const Received&) = default;
};

using StreamEvent = std::variant<NeedMore, Received, Rejected>;

// Incremental decoder for one circuit. Feed whatever the socket returned, then call next() until
// it says NeedMore. TCP may split or merge messages at any byte; the result does not depend on how
// the bytes were cut.
//
// Memory: the decoder holds at most one incomplete message (bounded by the payload limit) plus the
// unread part of the last feed. It never allocates what a header merely claims. An oversized
// message is reported as soon as its header is complete and then skipped as its bytes arrive.
//
// After a fatal Rejected every later next() returns it again and feed() discards its input.
class StreamDecoder {
 public:
  explicit StreamDecoder(std::size_t maxPayload = payloadLimitFromMaxArrayBytes(defaultMaxArrayBytes))
      : maxPayload_(maxPayload) {}

  void feed(ByteView bytes);
  [[nodiscard]] StreamEvent next();

  // To call when the peer closed its side: a Truncated rejection if a message was cut off.
  [[nodiscard]] std::optional<Rejected> endOfStream() const;

  [[nodiscard]] std::size_t buffered() const { return buffer_.size() - readPos_; }
  /// Memory the decoder holds: about the message in progress, and little once it is taken.
  [[nodiscard]] std::size_t capacity() const { return buffer_.capacity(); }
  [[nodiscard]] bool failed() const { return fatal_.has_value(); }
  [[nodiscard]] std::size_t maxPayload() const { return maxPayload_; }

 private:
  void compact();
  void drainBuffered();

  std::size_t maxPayload_;
  Bytes buffer_;
  std::size_t readPos_ = 0;
  std::uint64_t drainRemaining_ = 0;
  std::optional<Rejected> fatal_;
};

// ---- UDP ------------------------------------------------------------------------------------

struct DatagramContent {
  // Accepted messages in datagram order (a VERSION first, then SEARCHes, for libca).
  std::vector<ClientMessage> messages;
  // Messages skipped with intact framing, and at most one framing fault, which ends the datagram.
  std::vector<Rejected> rejected;
  // False when the framing broke somewhere; a server should then not reply at all.
  bool intact = true;
};

// Splits a datagram into its messages. A datagram is not a stream: a truncated last message is
// simply dropped (and makes the datagram not intact).
[[nodiscard]] DatagramContent decodeDatagram(ByteView datagram);

} // namespace telvik::protocol
