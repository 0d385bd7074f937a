#include "telvik/protocol/Constants.hpp"

#include <array>

namespace telvik::protocol {

namespace {

constexpr std::array<std::string_view, alarmSeverityCount> severityNames{"NO_ALARM", "MINOR", "MAJOR",
                                                                         "INVALID"};

constexpr std::array<std::string_view, alarmStatusCount> statusNames{
    "NO_ALARM", "READ", "WRITE",   "HIHI",    "HIGH",        "LOLO",        "LOW",  "STATE",
    "COS",      "COMM", "TIMEOUT", "HWLIMIT", "CALC",        "SCAN",        "LINK", "SOFT",
    "BAD_SUB",  "UDF",  "DISABLE", "SIMM",    "READ_ACCESS", "WRITE_ACCESS"};

} // namespace

std::string_view name(AlarmSeverity s) {
  const auto i = static_cast<std::size_t>(s);
  return i < severityNames.size() ? severityNames[i] : std::string_view{};
}

std::string_view name(AlarmStatus s) {
  const auto i = static_cast<std::size_t>(s);
  return i < statusNames.size() ? statusNames[i] : std::string_view{};
}

std::string_view describe(EcaStatus s) {
  switch (s) {
  case EcaStatus::Normal:
    return "Normal successful completion";
  case EcaStatus::AllocMem:
    return "Unable to allocate memory";
  case EcaStatus::TooLarge:
    return "Request too large for the server";
  case EcaStatus::BadType:
    return "Invalid or unsupported data type";
  case EcaStatus::Internal:
    return "Protocol error";
  case EcaStatus::GetFail:
    return "Read failed";
  case EcaStatus::PutFail:
    return "Write failed";
  case EcaStatus::BadCount:
    return "Invalid element count";
  case EcaStatus::BadStr:
    return "Invalid string";
  case EcaStatus::BadMonId:
    return "Unknown subscription";
  case EcaStatus::Defunct:
    return "Client protocol version too old";
  case EcaStatus::BadMask:
    return "Event mask selects nothing";
  case EcaStatus::PutCbInProg:
    return "Write with completion still in progress";
  case EcaStatus::NoRdAccess:
    return "No read access";
  case EcaStatus::NoWtAccess:
    return "No write access";
  case EcaStatus::Anachronism:
    return "Obsolete request";
  case EcaStatus::NoConvert:
    return "No conversion between these types";
  case EcaStatus::BadChid:
    return "Unknown channel";
  case EcaStatus::UnavailInServ:
    return "Not supported by this server";
  case EcaStatus::SixteenKArrayClient:
    return "Message too large for this client's protocol version";
  default:
    return {};
  }
}

} // namespace telvik::protocol
