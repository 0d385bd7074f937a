// Numbers of the Channel Access wire protocol that the rest of Telvik names instead of spelling out.
#pragma once

#include <cstdint>
#include <string_view>

namespace telvik::protocol {

// Protocol minor version this server announces. 13 commits us to the count-0 ("current length")
// semantics of reads and subscriptions, which every modern client relies on.
inline constexpr std::uint16_t serverMinorVersion = 13;
inline constexpr std::uint16_t defaultServerPort = 5064;
inline constexpr std::uint16_t defaultRepeaterPort = 5065;

// First peer minor that understands the 24-byte header; below it large messages cannot be sent.
inline constexpr std::uint16_t extendedHeaderMinVersion = 9;
// First peer minor that may ask for count 0.
inline constexpr std::uint16_t dynamicCountMinVersion = 13;
inline constexpr std::uint16_t maxPriority = 99;

// Names longer than this (NUL included) are refused in SEARCH and CREATE_CHAN, as libca and RSRV do.
inline constexpr std::size_t maxChannelNameSize = 500;
// Bound for CLIENT_NAME and HOST_NAME (NUL included).
inline constexpr std::size_t maxIdentityNameSize = 512;
// RSRV's cap on a whole ERROR message; longer texts are cut, never the embedded header.
inline constexpr std::size_t maxErrorMessageSize = 512;

// The historic buffer size every peer can take; a configured array limit is never below it.
inline constexpr std::size_t defaultMaxArrayBytes = 16384;
// Largest datagram a UDP receiver has to accept.
inline constexpr std::size_t maxDatagramSize = 0xFFFF + 16;

inline constexpr std::size_t maxStringSize = 40; // DBR_STRING element, NUL included
inline constexpr std::size_t maxUnitsSize = 8;
inline constexpr std::size_t maxEnumStates = 16;
inline constexpr std::size_t maxEnumStringSize = 26;

// Seconds between the POSIX epoch and the EPICS epoch (1990-01-01 00:00:00 UTC).
inline constexpr std::int64_t epicsEpochOffset = 631152000;

// p1 of a UDP search reply meaning "connect to the address this datagram came from".
inline constexpr std::uint32_t useSourceAddress = 0xFFFFFFFF;

enum class Command : std::uint16_t {
  Version = 0,
  EventAdd = 1,
  EventCancel = 2,
  Read = 3,
  Write = 4,
  Snapshot = 5,
  Search = 6,
  Build = 7,
  EventsOff = 8,
  EventsOn = 9,
  ReadSync = 10,
  Error = 11,
  ClearChannel = 12,
  RsrvIsUp = 13,
  NotFound = 14,
  ReadNotify = 15,
  ReadBuild = 16,
  RepeaterConfirm = 17,
  CreateChannel = 18,
  WriteNotify = 19,
  ClientName = 20,
  HostName = 21,
  AccessRights = 22,
  Echo = 23,
  RepeaterRegister = 24,
  Signal = 25,
  CreateChannelFailed = 26,
  ServerDisconnect = 27,
};

// Reply flag in the data-type field of a SEARCH request.
enum class SearchReplyFlag : std::uint16_t {
  DontReply = 5,
  DoReply = 10,
};

enum class Transport : std::uint8_t { Udp, Tcp };

// Status codes as they travel on the wire: (message number << 3) | severity. The enum holds any
// 32-bit value, so statuses we do not name still pass through unchanged.
enum class EcaStatus : std::uint32_t {
  Normal = 1,
  AllocMem = 48,
  TooLarge = 72,
  Timeout = 80,
  BadType = 114,
  Internal = 142,
  GetFail = 152,
  PutFail = 160,
  BadCount = 176,
  BadStr = 186,
  Disconn = 192,
  DblChnl = 200,
  EvDisallow = 210,
  BadMonId = 242,
  Defunct = 278,
  BadMask = 330,
  PutCbInProg = 362,
  NoRdAccess = 368,
  NoWtAccess = 376,
  Anachronism = 386,
  NoConvert = 400,
  BadChid = 410,
  UnavailInServ = 432,
  ChanDestroy = 440,
  SixteenKArrayClient = 464,
  ConnSeqTmo = 472,
  UnrespTmo = 480,
};

[[nodiscard]] constexpr std::uint32_t toWire(EcaStatus s) {
  return static_cast<std::uint32_t>(s);
}
// Short description for ERROR texts and logs; empty for codes we do not name.
[[nodiscard]] std::string_view describe(EcaStatus s);

enum class AlarmSeverity : std::uint16_t { NoAlarm = 0, Minor = 1, Major = 2, Invalid = 3 };

enum class AlarmStatus : std::uint16_t {
  NoAlarm = 0,
  Read,
  Write,
  HiHi,
  High,
  LoLo,
  Low,
  State,
  Cos,
  Comm,
  Timeout,
  HwLimit,
  Calc,
  Scan,
  Link,
  Soft,
  BadSub,
  Udf,
  Disable,
  Simm,
  ReadAccess,
  WriteAccess,
};
inline constexpr std::size_t alarmSeverityCount = 4;
inline constexpr std::size_t alarmStatusCount = 22;

// The names clients show for .SEVR and .STAT ("NO_ALARM", "MAJOR", "HIHI", ...); empty if unknown.
[[nodiscard]] std::string_view name(AlarmSeverity s);
[[nodiscard]] std::string_view name(AlarmStatus s);

// Bits of the EVENT_ADD mask.
enum class EventMask : std::uint16_t {
  Value = 1,
  Log = 2,
  Alarm = 4,
  Property = 8,
};
[[nodiscard]] constexpr std::uint16_t operator|(EventMask a, EventMask b) {
  return static_cast<std::uint16_t>(static_cast<std::uint16_t>(a) | static_cast<std::uint16_t>(b));
}
[[nodiscard]] constexpr bool selects(std::uint16_t mask, EventMask bit) {
  return (mask & static_cast<std::uint16_t>(bit)) != 0;
}
// What libca uses when the subscription does not say otherwise (and what we assume for an
// EVENT_ADD whose payload is too short to carry a mask).
inline constexpr std::uint16_t defaultEventMask = EventMask::Value | EventMask::Alarm;

} // namespace telvik::protocol
