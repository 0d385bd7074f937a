#include "telvik/protocol/Decoder.hpp"

#include "ByteOrder.hpp"

#include <algorithm>
#include <cstring>

namespace telvik::protocol {

namespace {

using detail::loadU16;

// Buffer room a decoder keeps between messages.
constexpr std::size_t keptCapacity = std::size_t{64} * 1024;

std::uint16_t clampU16(std::uint32_t v) {
  return static_cast<std::uint16_t>(std::min<std::uint32_t>(v, 0xFFFF));
}

struct NameResult {
  std::optional<std::string> name;
  std::string_view reason;
};

// Names are taken up to the first NUL. One without any NUL is refused rather than cut at the
// payload end: a guessed name would only make the client loop between search and create.
NameResult takeName(ByteView payload, std::size_t maxSize, bool allowEmpty) {
  if (payload.empty()) {
    if (allowEmpty) return {std::string{}, {}};
    return {std::nullopt, "empty name"};
  }
  const auto* begin = reinterpret_cast<const char*>(payload.data());
  const void* nul = std::memchr(begin, 0, payload.size());
  if (nul == nullptr) return {std::nullopt, "name is not NUL-terminated"};
  const auto length = static_cast<std::size_t>(static_cast<const char*>(nul) - begin);
  if (length == 0 && !allowEmpty) return {std::nullopt, "empty name"};
  if (length + 1 > maxSize) return {std::nullopt, "name too long"};
  return {std::string(begin, length), {}};
}

Bytes copyOf(ByteView v) {
  return Bytes(v.begin(), v.end());
}

} // namespace

DecodedMessage decodeClientMessage(const Header& h, ByteView payload, Transport transport) {
  const auto reject = [&h](DecodeError e, std::string_view reason) -> DecodedMessage {
    return Rejected{h, e, reason};
  };
  const auto command = static_cast<Command>(h.command);
  if (transport == Transport::Udp && command != Command::Version && command != Command::Search)
    return reject(DecodeError::UnknownCommand, "command not accepted over UDP");

  switch (command) {
  case Command::Version:
    return ClientMessage{Version{h.dataType, clampU16(h.dataCount), h.parameter1}};
  case Command::Search: {
    auto n = takeName(payload, maxChannelNameSize, false);
    if (!n.name) return reject(DecodeError::BadMessage, n.reason);
    return ClientMessage{Search{h.dataType, clampU16(h.dataCount), h.parameter2, std::move(*n.name)}};
  }
  case Command::CreateChannel: {
    auto n = takeName(payload, maxChannelNameSize, false);
    if (!n.name) return reject(DecodeError::BadMessage, n.reason);
    return ClientMessage{CreateChannel{h.parameter1, h.parameter2, std::move(*n.name)}};
  }
  case Command::ClientName: {
    auto n = takeName(payload, maxIdentityNameSize, true);
    if (!n.name) return reject(DecodeError::BadMessage, n.reason);
    return ClientMessage{ClientName{std::move(*n.name)}};
  }
  case Command::HostName: {
    auto n = takeName(payload, maxIdentityNameSize, true);
    if (!n.name) return reject(DecodeError::BadMessage, n.reason);
    return ClientMessage{HostName{std::move(*n.name)}};
  }
  case Command::ReadNotify:
    return ClientMessage{ReadNotify{h.dataType, h.dataCount, h.parameter1, h.parameter2}};
  case Command::Read:
    return ClientMessage{Read{h.dataType, h.dataCount, h.parameter1, h.parameter2}};
  case Command::Write:
    return ClientMessage{Write{h.dataType, h.dataCount, h.parameter1, h.parameter2, copyOf(payload)}};
  case Command::WriteNotify:
    return ClientMessage{WriteNotify{h.dataType, h.dataCount, h.parameter1, h.parameter2, copyOf(payload)}};
  case Command::EventAdd: {
    const std::uint16_t mask = payload.size() >= 16 ? loadU16(payload.data() + 12) : defaultEventMask;
    return ClientMessage{EventAdd{h.dataType, h.dataCount, h.parameter1, h.parameter2, mask}};
  }
  case Command::EventCancel:
    return ClientMessage{EventCancel{h.dataType, h.dataCount, h.parameter1, h.parameter2}};
  case Command::ClearChannel:
    return ClientMessage{ClearChannel{h.parameter1, h.parameter2}};
  case Command::EventsOff:
    return ClientMessage{EventsOff{}};
  case Command::EventsOn:
    return ClientMessage{EventsOn{}};
  case Command::Echo:
    return ClientMessage{Echo{h.dataType, h.dataCount, h.parameter1, h.parameter2, copyOf(payload)}};
  case Command::ReadSync:
    return ClientMessage{ReadSync{h.dataType, h.dataCount, h.parameter1, h.parameter2}};
  default:
    return reject(DecodeError::UnknownCommand, "unsupported command");
  }
}

// ---- TCP ------------------------------------------------------------------------------------

void StreamDecoder::compact() {
  if (readPos_ == 0) return;
  if (readPos_ == buffer_.size()) {
    // Room kept for small messages; what a large one needed goes back.
    if (buffer_.capacity() > keptCapacity)
      Bytes().swap(buffer_);
    else
      buffer_.clear();
  } else {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(readPos_));
  }
  readPos_ = 0;
}

void StreamDecoder::drainBuffered() {
  const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(drainRemaining_, buffered()));
  readPos_ += n;
  drainRemaining_ -= n;
}

void StreamDecoder::feed(ByteView bytes) {
  if (fatal_) return;
  // Bytes of a message being skipped never enter the buffer.
  if (drainRemaining_ > 0 && buffered() == 0) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(drainRemaining_, bytes.size()));
    drainRemaining_ -= n;
    bytes = bytes.subspan(n);
  }
  if (bytes.empty()) return;
  compact();
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

StreamEvent StreamDecoder::next() {
  if (fatal_) return *fatal_;
  if (drainRemaining_ > 0) {
    drainBuffered();
    if (drainRemaining_ > 0) return NeedMore{static_cast<std::size_t>(drainRemaining_) + standardHeaderSize};
  }
  const ByteView available = ByteView(buffer_).subspan(readPos_);
  const HeaderParse hp = parseHeader(available);
  if (!hp.complete) return NeedMore{hp.size - available.size()};

  const Header& h = hp.header;
  if (h.payloadSize % 8 != 0) {
    fatal_ = Rejected{h, DecodeError::Malformed, "misaligned message"};
    buffer_.clear();
    readPos_ = 0;
    return *fatal_;
  }
  if (h.payloadSize > maxPayload_) {
    readPos_ += hp.size;
    drainRemaining_ = h.payloadSize;
    drainBuffered();
    return Rejected{h, DecodeError::Oversized, "message too large"};
  }
  const std::size_t total = hp.size + h.payloadSize;
  if (available.size() < total) {
    // Exactly the message's size, rather than doubling as bytes arrive and holding up to twice it.
    if (buffer_.capacity() < readPos_ + total) buffer_.reserve(readPos_ + total);
    return NeedMore{total - available.size()};
  }

  const ByteView payload = available.subspan(hp.size, h.payloadSize);
  DecodedMessage decoded = decodeClientMessage(h, payload, Transport::Tcp);
  readPos_ += total;
  if (readPos_ == buffer_.size()) compact();
  if (auto* m = std::get_if<ClientMessage>(&decoded)) return Received{h, std::move(*m)};
  return std::get<Rejected>(decoded);
}

std::optional<Rejected> StreamDecoder::endOfStream() const {
  if (fatal_) return fatal_;
  if (buffered() == 0 && drainRemaining_ == 0) return std::nullopt;
  Header partial;
  if (const HeaderParse hp = parseHeader(ByteView(buffer_).subspan(readPos_)); hp.complete)
    partial = hp.header;
  return Rejected{partial, DecodeError::Truncated, "connection closed inside a message"};
}

// ---- UDP ------------------------------------------------------------------------------------

DatagramContent decodeDatagram(ByteView datagram) {
  DatagramContent content;
  while (!datagram.empty()) {
    const HeaderParse hp = parseHeader(datagram);
    if (!hp.complete) {
      content.rejected.push_back(Rejected{{}, DecodeError::Truncated, "datagram ends inside a header"});
      content.intact = false;
      break;
    }
    const Header& h = hp.header;
    if (h.payloadSize % 8 != 0) {
      content.rejected.push_back(Rejected{h, DecodeError::Malformed, "misaligned message"});
      content.intact = false;
      break;
    }
    if (datagram.size() - hp.size < h.payloadSize) {
      content.rejected.push_back(Rejected{h, DecodeError::Truncated, "datagram ends inside a message"});
      content.intact = false;
      break;
    }
    DecodedMessage decoded = decodeClientMessage(h, datagram.subspan(hp.size, h.payloadSize), Transport::Udp);
    if (auto* m = std::get_if<ClientMessage>(&decoded)) {
      content.messages.push_back(std::move(*m));
    } else {
      content.rejected.push_back(std::get<Rejected>(decoded));
    }
    datagram = datagram.subspan(hp.size + h.payloadSize);
  }
  return content;
}

} // namespace telvik::protocol
