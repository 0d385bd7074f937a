#include "telvik/protocol/Messages.hpp"

#include "ByteOrder.hpp"

#include <algorithm>
#include <array>

namespace telvik::protocol {

namespace {

using detail::storeU16;

constexpr std::uint16_t code(Command c) {
  return static_cast<std::uint16_t>(c);
}

// Appends header, payload and zero padding. The size is checked before anything is written, so a
// refused message leaves `out` untouched.
bool emit(Bytes& out, HeaderForm form, Header h, ByteView payload, std::size_t minPayload = 0) {
  const std::uint64_t size = paddedSize(std::max(payload.size(), minPayload));
  if (size > 0xFFFFFFF8u) return false;
  h.payloadSize = static_cast<std::uint32_t>(size);
  if (form == HeaderForm::StandardOnly && needsExtendedHeader(h)) return false;
  appendHeader(out, h);
  out.insert(out.end(), payload.begin(), payload.end());
  out.resize(out.size() + (static_cast<std::size_t>(size) - payload.size()), 0);
  return true;
}

bool emitEmpty(Bytes& out, HeaderForm form, Command c, std::uint16_t type, std::uint32_t count,
               std::uint32_t p1, std::uint32_t p2) {
  return emit(out, form, Header{code(c), 0, type, count, p1, p2}, {});
}

Bytes nulTerminated(std::string_view s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}

bool emitName(Bytes& out, HeaderForm form, Command c, std::uint16_t type, std::uint32_t count,
              std::uint32_t p1, std::uint32_t p2, std::string_view name) {
  return emit(out, form, Header{code(c), 0, type, count, p1, p2}, nulTerminated(name));
}

constexpr Command commandFor(const Version&) {
  return Command::Version;
}
constexpr Command commandFor(const Echo&) {
  return Command::Echo;
}
constexpr Command commandFor(const ReadSync&) {
  return Command::ReadSync;
}
constexpr Command commandFor(const Search&) {
  return Command::Search;
}
constexpr Command commandFor(const CreateChannel&) {
  return Command::CreateChannel;
}
constexpr Command commandFor(const ClientName&) {
  return Command::ClientName;
}
constexpr Command commandFor(const HostName&) {
  return Command::HostName;
}
constexpr Command commandFor(const ReadNotify&) {
  return Command::ReadNotify;
}
constexpr Command commandFor(const Read&) {
  return Command::Read;
}
constexpr Command commandFor(const Write&) {
  return Command::Write;
}
constexpr Command commandFor(const WriteNotify&) {
  return Command::WriteNotify;
}
constexpr Command commandFor(const EventAdd&) {
  return Command::EventAdd;
}
constexpr Command commandFor(const EventCancel&) {
  return Command::EventCancel;
}
constexpr Command commandFor(const ClearChannel&) {
  return Command::ClearChannel;
}
constexpr Command commandFor(const EventsOff&) {
  return Command::EventsOff;
}
constexpr Command commandFor(const EventsOn&) {
  return Command::EventsOn;
}
constexpr Command commandFor(const SearchReply&) {
  return Command::Search;
}
constexpr Command commandFor(const NotFound&) {
  return Command::NotFound;
}
constexpr Command commandFor(const CreateChannelReply&) {
  return Command::CreateChannel;
}
constexpr Command commandFor(const AccessRights&) {
  return Command::AccessRights;
}
constexpr Command commandFor(const CreateChannelFailed&) {
  return Command::CreateChannelFailed;
}
constexpr Command commandFor(const ReadNotifyReply&) {
  return Command::ReadNotify;
}
constexpr Command commandFor(const ReadReply&) {
  return Command::Read;
}
constexpr Command commandFor(const WriteNotifyReply&) {
  return Command::WriteNotify;
}
constexpr Command commandFor(const EventAddReply&) {
  return Command::EventAdd;
}
constexpr Command commandFor(const EventCancelReply&) {
  return Command::EventAdd;
}
constexpr Command commandFor(const ClearChannelReply&) {
  return Command::ClearChannel;
}
constexpr Command commandFor(const ErrorMessage&) {
  return Command::Error;
}
constexpr Command commandFor(const Beacon&) {
  return Command::RsrvIsUp;
}
constexpr Command commandFor(const ServerDisconnect&) {
  return Command::ServerDisconnect;
}

} // namespace

// ---- both directions ------------------------------------------------------------------------

bool encode(const Version& m, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::Version, m.priority, m.minorVersion, m.sequence, 0);
}

bool encode(const Echo& m, Bytes& out, HeaderForm form) {
  return emit(out, form, Header{code(Command::Echo), 0, m.dataType, m.dataCount, m.parameter1, m.parameter2},
              m.payload);
}

bool encode(const ReadSync& m, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::ReadSync, m.dataType, m.dataCount, m.parameter1, m.parameter2);
}

// ---- client to server -----------------------------------------------------------------------

bool encode(const Search& m, Bytes& out, HeaderForm form) {
  return emitName(out, form, Command::Search, m.replyFlag, m.minorVersion, m.searchId, m.searchId, m.name);
}

bool encode(const CreateChannel& m, Bytes& out, HeaderForm form) {
  return emitName(out, form, Command::CreateChannel, 0, 0, m.cid, m.minorVersion, m.name);
}

bool encode(const ClientName& m, Bytes& out, HeaderForm form) {
  return emitName(out, form, Command::ClientName, 0, 0, 0, 0, m.name);
}

bool encode(const HostName& m, Bytes& out, HeaderForm form) {
  return emitName(out, form, Command::HostName, 0, 0, 0, 0, m.name);
}

bool encode(const ReadNotify& m, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::ReadNotify, m.dataType, m.dataCount, m.sid, m.ioid);
}

bool encode(const Read& m, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::Read, m.dataType, m.dataCount, m.sid, m.ioid);
}

bool encode(const Write& m, Bytes& out, HeaderForm form) {
  return emit(out, form, Header{code(Command::Write), 0, m.dataType, m.dataCount, m.sid, m.ioid}, m.data);
}

bool encode(const WriteNotify& m, Bytes& out, HeaderForm form) {
  return emit(out, form, Header{code(Command::WriteNotify), 0, m.dataType, m.dataCount, m.sid, m.ioid},
              m.data);
}

bool encode(const EventAdd& m, Bytes& out, HeaderForm form) {
  std::array<std::uint8_t, 16> payload{};
  storeU16(payload.data() + 12, m.mask);
  return emit(out, form, Header{code(Command::EventAdd), 0, m.dataType, m.dataCount, m.sid, m.subscriptionId},
              payload);
}

bool encode(const EventCancel& m, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::EventCancel, m.dataType, m.dataCount, m.sid, m.subscriptionId);
}

bool encode(const ClearChannel& m, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::ClearChannel, 0, 0, m.sid, m.cid);
}

bool encode(const EventsOff&, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::EventsOff, 0, 0, 0, 0);
}

bool encode(const EventsOn&, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::EventsOn, 0, 0, 0, 0);
}

// ---- server to client -----------------------------------------------------------------------

bool encode(const SearchReply& m, Bytes& out, HeaderForm form) {
  const Header h{code(Command::Search), 0, m.port, 0, m.serverAddress, m.searchId};
  if (m.transport == Transport::Tcp) return emit(out, form, h, {});
  std::array<std::uint8_t, 8> payload{};
  storeU16(payload.data(), m.minorVersion);
  return emit(out, form, h, payload);
}

bool encode(const NotFound& m, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::NotFound, m.replyFlag, m.minorVersion, m.searchId, m.searchId);
}

bool encode(const CreateChannelReply& m, Bytes& out, HeaderForm form) {
  std::uint32_t count = m.nativeCount;
  if (form == HeaderForm::StandardOnly) count = std::min<std::uint32_t>(count, 0xFFFE);
  return emitEmpty(out, form, Command::CreateChannel, m.nativeType, count, m.cid, m.sid);
}

bool encode(const AccessRights& m, Bytes& out, HeaderForm form) {
  const std::uint32_t bits = (m.read ? 1u : 0u) | (m.write ? 2u : 0u);
  return emitEmpty(out, form, Command::AccessRights, 0, 0, m.cid, bits);
}

bool encode(const CreateChannelFailed& m, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::CreateChannelFailed, 0, 0, m.cid, 0);
}

bool encode(const ReadNotifyReply& m, Bytes& out, HeaderForm form) {
  return emit(out, form,
              Header{code(Command::ReadNotify), 0, m.dataType, m.dataCount, toWire(m.status), m.ioid},
              m.data);
}

bool encode(const ReadReply& m, Bytes& out, HeaderForm form) {
  return emit(out, form, Header{code(Command::Read), 0, m.dataType, m.dataCount, m.cid, m.ioid}, m.data);
}

bool encode(const WriteNotifyReply& m, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::WriteNotify, m.dataType, m.dataCount, toWire(m.status), m.ioid);
}

bool encode(const EventAddReply& m, Bytes& out, HeaderForm form) {
  return emit(out, form,
              Header{code(Command::EventAdd), 0, m.dataType, m.dataCount, toWire(m.status), m.subscriptionId},
              m.data, 8);
}

bool encode(const EventCancelReply& m, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::EventAdd, m.dataType, m.dataCount, m.sid, m.subscriptionId);
}

bool encode(const ClearChannelReply& m, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::ClearChannel, 0, 0, m.sid, m.cid);
}

bool encode(const ErrorMessage& m, Bytes& out, HeaderForm form) {
  Bytes payload;
  appendHeader(payload, m.request);
  const std::size_t room = maxErrorMessageSize - standardHeaderSize - payload.size() - 1;
  const std::string_view text = std::string_view(m.text).substr(0, room);
  payload.insert(payload.end(), text.begin(), text.end());
  payload.push_back(0);
  return emit(out, form, Header{code(Command::Error), 0, 0, 0, m.cid, toWire(m.status)}, payload);
}

bool encode(const Beacon& m, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::RsrvIsUp, m.minorVersion, m.port, m.beaconId, m.serverAddress);
}

bool encode(const ServerDisconnect& m, Bytes& out, HeaderForm form) {
  return emitEmpty(out, form, Command::ServerDisconnect, 0, 0, m.cid, 0);
}

bool encode(const ClientMessage& m, Bytes& out, HeaderForm form) {
  return std::visit([&](const auto& x) { return encode(x, out, form); }, m);
}

bool encode(const ServerMessage& m, Bytes& out, HeaderForm form) {
  return std::visit([&](const auto& x) { return encode(x, out, form); }, m);
}

Command commandOf(const ClientMessage& m) {
  return std::visit([](const auto& x) { return commandFor(x); }, m);
}

Command commandOf(const ServerMessage& m) {
  return std::visit([](const auto& x) { return commandFor(x); }, m);
}

} // namespace telvik::protocol
