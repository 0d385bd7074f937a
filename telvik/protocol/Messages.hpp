// One small value type per Channel Access message, the two variants a server deals in, and the
// encoders that turn them into exact wire bytes.
//
// Field names follow what a field means for that message, not the generic header slot it uses;
// each struct's comment says which slot holds what where that is not obvious. Types and counts
// stay raw integers here because the wire may carry any value; Dbr.hpp interprets them.
#pragma once

#include "telvik/protocol/Constants.hpp"
#include "telvik/protocol/Header.hpp"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace telvik::protocol {

// ---- both directions ------------------------------------------------------------------------

// VERSION. On a TCP circuit `priority` is the circuit priority (0..99). In a datagram, and in the
// batches libca sends ahead of TCP searches, the same slot is 1 and means "`sequence` is valid".
// The decoder passes any priority on; above maxPriority the server clamps or refuses.
struct Version {
  std::uint16_t priority = 0;
  std::uint16_t minorVersion = serverMinorVersion;
  std::uint32_t sequence = 0;

  // What a server puts first on every new circuit.
  [[nodiscard]] static Version forCircuit() { return Version{}; }
  // What a server puts first in a search reply datagram: the client's sequence number echoed.
  [[nodiscard]] static Version forDatagram(std::uint32_t sequence) {
    return Version{1, serverMinorVersion, sequence};
  }
  friend bool operator==(const Version&, const Version&) = default;
};

// ECHO: answered by sending the same message back, header fields and payload included.
struct Echo {
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  std::uint32_t parameter1 = 0;
  std::uint32_t parameter2 = 0;
  Bytes payload;
  friend bool operator==(const Echo&, const Echo&) = default;
};

// READ_SYNC: the echo of pre-3 clients; answered with the header sent back.
struct ReadSync {
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  std::uint32_t parameter1 = 0;
  std::uint32_t parameter2 = 0;
  friend bool operator==(const ReadSync&, const ReadSync&) = default;
};

// ---- client to server -----------------------------------------------------------------------

// SEARCH. The request carries the search id in both parameters; replies echo it.
struct Search {
  std::uint16_t replyFlag = static_cast<std::uint16_t>(SearchReplyFlag::DontReply);
  std::uint16_t minorVersion = serverMinorVersion;
  std::uint32_t searchId = 0;
  std::string name;

  [[nodiscard]] bool wantsNotFound() const {
    return replyFlag == static_cast<std::uint16_t>(SearchReplyFlag::DoReply);
  }
  friend bool operator==(const Search&, const Search&) = default;
};

struct CreateChannel {
  std::uint32_t cid = 0;
  std::uint32_t minorVersion = serverMinorVersion; // p2 carries the client's minor here
  std::string name;
  friend bool operator==(const CreateChannel&, const CreateChannel&) = default;
};

struct ClientName {
  std::string name;
  friend bool operator==(const ClientName&, const ClientName&) = default;
};

struct HostName {
  std::string name;
  friend bool operator==(const HostName&, const HostName&) = default;
};

// READ_NOTIFY, the get every current client uses.
struct ReadNotify {
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  std::uint32_t sid = 0;
  std::uint32_t ioid = 0;
  friend bool operator==(const ReadNotify&, const ReadNotify&) = default;
};

// READ, deprecated: same request, answered without a status slot.
struct Read {
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  std::uint32_t sid = 0;
  std::uint32_t ioid = 0;
  friend bool operator==(const Read&, const Read&) = default;
};

// WRITE. libca puts the CID where WRITE_NOTIFY has the IOID; `ioid` holds whatever came.
// `data` is the payload as received, padding included; decodeWrite() interprets it.
struct Write {
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  std::uint32_t sid = 0;
  std::uint32_t ioid = 0;
  Bytes data;
  friend bool operator==(const Write&, const Write&) = default;
};

struct WriteNotify {
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  std::uint32_t sid = 0;
  std::uint32_t ioid = 0;
  Bytes data;
  friend bool operator==(const WriteNotify&, const WriteNotify&) = default;
};

// EVENT_ADD. The three legacy floats of the payload (low, high, timeout) are always zero and are
// not kept. A payload too short for the mask yields defaultEventMask.
struct EventAdd {
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  std::uint32_t sid = 0;
  std::uint32_t subscriptionId = 0;
  std::uint16_t mask = defaultEventMask;
  friend bool operator==(const EventAdd&, const EventAdd&) = default;
};

struct EventCancel {
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  std::uint32_t sid = 0;
  std::uint32_t subscriptionId = 0;
  friend bool operator==(const EventCancel&, const EventCancel&) = default;
};

struct ClearChannel {
  std::uint32_t sid = 0;
  std::uint32_t cid = 0;
  friend bool operator==(const ClearChannel&, const ClearChannel&) = default;
};

struct EventsOff {
  friend bool operator==(const EventsOff&, const EventsOff&) = default;
};

struct EventsOn {
  friend bool operator==(const EventsOn&, const EventsOn&) = default;
};

// ---- server to client -----------------------------------------------------------------------

// SEARCH reply. Over UDP it carries an 8-byte payload with our minor version (libca takes a server
// without it for a pre-4.1 one and never connects); over TCP it has none.
struct SearchReply {
  std::uint16_t port = defaultServerPort;
  std::uint32_t searchId = 0;
  std::uint32_t serverAddress = useSourceAddress;
  std::uint16_t minorVersion = serverMinorVersion;
  Transport transport = Transport::Udp;
  friend bool operator==(const SearchReply&, const SearchReply&) = default;
};

// NOT_FOUND: TCP only, and only for a DO_REPLY search; echoes the request's fields.
struct NotFound {
  std::uint16_t replyFlag = static_cast<std::uint16_t>(SearchReplyFlag::DoReply);
  std::uint16_t minorVersion = serverMinorVersion;
  std::uint32_t searchId = 0;

  [[nodiscard]] static NotFound to(const Search& s) {
    return NotFound{s.replyFlag, s.minorVersion, s.searchId};
  }
  friend bool operator==(const NotFound&, const NotFound&) = default;
};

// CREATE_CHAN reply. `nativeType` is 0..6; for a peer below minor 9 the encoder caps the count at
// 0xFFFE, because such a peer cannot receive more in one message anyway.
struct CreateChannelReply {
  std::uint16_t nativeType = 0;
  std::uint32_t nativeCount = 1;
  std::uint32_t cid = 0;
  std::uint32_t sid = 0;
  friend bool operator==(const CreateChannelReply&, const CreateChannelReply&) = default;
};

// ACCESS_RIGHTS: goes out right before each CREATE_CHAN reply and on every later change.
struct AccessRights {
  std::uint32_t cid = 0;
  bool read = true;
  bool write = false;
  friend bool operator==(const AccessRights&, const AccessRights&) = default;
};

struct CreateChannelFailed {
  std::uint32_t cid = 0;
  friend bool operator==(const CreateChannelFailed&, const CreateChannelFailed&) = default;
};

// READ_NOTIFY reply. `data` is the DBR image without padding (see Convert.hpp); the encoder pads.
struct ReadNotifyReply {
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  EcaStatus status = EcaStatus::Normal;
  std::uint32_t ioid = 0;
  Bytes data;
  friend bool operator==(const ReadNotifyReply&, const ReadNotifyReply&) = default;
};

// Reply to the deprecated READ: p1 is the channel's CID (what RSRV sends), no status.
struct ReadReply {
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  std::uint32_t cid = 0;
  std::uint32_t ioid = 0;
  Bytes data;
  friend bool operator==(const ReadReply&, const ReadReply&) = default;
};

struct WriteNotifyReply {
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  EcaStatus status = EcaStatus::Normal;
  std::uint32_t ioid = 0;
  friend bool operator==(const WriteNotifyReply&, const WriteNotifyReply&) = default;
};

// A subscription update. libca takes any zero-size EVENT_ADD for the cancel confirmation and
// drops it, so the encoder never sends one: empty data goes out as 8 zero bytes.
struct EventAddReply {
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  EcaStatus status = EcaStatus::Normal;
  std::uint32_t subscriptionId = 0;
  Bytes data;
  friend bool operator==(const EventAddReply&, const EventAddReply&) = default;
};

// The final, empty EVENT_ADD that confirms an EVENT_CANCEL. Type and count are the
// subscription's, p1 the SID, as RSRV sends it.
struct EventCancelReply {
  std::uint16_t dataType = 0;
  std::uint32_t dataCount = 0;
  std::uint32_t sid = 0;
  std::uint32_t subscriptionId = 0;
  friend bool operator==(const EventCancelReply&, const EventCancelReply&) = default;
};

struct ClearChannelReply {
  std::uint32_t sid = 0;
  std::uint32_t cid = 0;
  friend bool operator==(const ClearChannelReply&, const ClearChannelReply&) = default;
};

// ERROR: the offending request's header (payload left out) and a text. libca routes it by the
// embedded command, so `request` must be the header exactly as decoded. `cid` is the affected
// channel's CID, the search id for SEARCH, or 0xFFFFFFFF when there is none. Texts that would make
// the message exceed 512 bytes are cut.
struct ErrorMessage {
  Header request;
  std::uint32_t cid = 0xFFFFFFFF;
  EcaStatus status = EcaStatus::Internal;
  std::string text;
  friend bool operator==(const ErrorMessage&, const ErrorMessage&) = default;
};

// RSRV_IS_UP. `beaconId` counts beacons sent, from 0 after each start; libca ignores a beacon
// whose id did not advance.
struct Beacon {
  std::uint16_t minorVersion = serverMinorVersion;
  std::uint16_t port = defaultServerPort;
  std::uint32_t beaconId = 0;
  std::uint32_t serverAddress = 0; // 0: the receiver uses the datagram's source
  friend bool operator==(const Beacon&, const Beacon&) = default;
};

struct ServerDisconnect {
  std::uint32_t cid = 0;
  friend bool operator==(const ServerDisconnect&, const ServerDisconnect&) = default;
};

// Everything a server accepts from a client (UDP: only Version and Search).
using ClientMessage =
    std::variant<Version, Search, CreateChannel, ClientName, HostName, ReadNotify, Read, Write, WriteNotify,
                 EventAdd, EventCancel, ClearChannel, EventsOff, EventsOn, Echo, ReadSync>;

// Everything a server sends.
using ServerMessage =
    std::variant<Version, SearchReply, NotFound, CreateChannelReply, AccessRights, CreateChannelFailed,
                 ReadNotifyReply, ReadReply, WriteNotifyReply, EventAddReply, EventCancelReply,
                 ClearChannelReply, ErrorMessage, Echo, ReadSync, Beacon, ServerDisconnect>;

// ---- encoders -------------------------------------------------------------------------------
// Each appends one message to `out` and returns true. With HeaderForm::StandardOnly a message
// that would need the 24-byte header is not appended and the result is false: the caller then
// owes the client an ERROR with EcaStatus::SixteenKArrayClient.

[[nodiscard]] bool encode(const Version& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const Echo& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const ReadSync& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const Search& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const CreateChannel& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const ClientName& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const HostName& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const ReadNotify& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const Read& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const Write& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const WriteNotify& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const EventAdd& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const EventCancel& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const ClearChannel& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const EventsOff& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const EventsOn& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const SearchReply& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const NotFound& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const CreateChannelReply& m, Bytes& out,
                          HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const AccessRights& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const CreateChannelFailed& m, Bytes& out,
                          HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const ReadNotifyReply& m, Bytes& out,
                          HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const ReadReply& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const WriteNotifyReply& m, Bytes& out,
                          HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const EventAddReply& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const EventCancelReply& m, Bytes& out,
                          HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const ClearChannelReply& m, Bytes& out,
                          HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const ErrorMessage& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const Beacon& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const ServerDisconnect& m, Bytes& out,
                          HeaderForm form = HeaderForm::ExtendedAllowed);

[[nodiscard]] bool encode(const ClientMessage& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);
[[nodiscard]] bool encode(const ServerMessage& m, Bytes& out, HeaderForm form = HeaderForm::ExtendedAllowed);

// The command code a message travels under (EventCancelReply: EVENT_ADD).
[[nodiscard]] Command commandOf(const ClientMessage& m);
[[nodiscard]] Command commandOf(const ServerMessage& m);

} // namespace telvik::protocol
