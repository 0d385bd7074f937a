// The CA server's lines in the event log: circuits opened and closed, operators' writes.
#pragma once

#include "framework/Types.hpp"

#include <string>

namespace telvik::server::events {

/// "user@host (address)" as the client announced itself; what is unknown is left out.
[[nodiscard]] std::string who(const std::string& user, const std::string& host, const std::string& peer);

/// A value as the log shows it: scalars as they are, text quoted, short arrays in full.
[[nodiscard]] std::string describe(const orvane::AnyVector& v);

/// "old -> new"; for a long array how many elements changed and the first change, since a
/// whole table in the log would drown everything else.
[[nodiscard]] std::string change(const orvane::AnyVector& before, const orvane::AnyVector& after);

void circuitOpened(const std::string& peer);
void circuitClosed(const std::string& peer, const std::string& who, std::size_t channels, bool fault,
                   const std::string& reason);
void written(const std::string& who, const std::string& pvName, const orvane::AnyVector& before,
             const orvane::AnyVector& after);
void writeRefused(const std::string& who, const std::string& pvName, const std::string& reason);

} // namespace telvik::server::events
