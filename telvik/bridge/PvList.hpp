// The PV list: every served name with its CA type, element count, access and description, one
// per line, for archivers and directory services.
#pragma once

#include "telvik/bridge/PvTable.hpp"

#include <iosfwd>

namespace telvik::bridge {

/// "NAME<TAB>TYPE<TAB>COUNT<TAB>ACCESS<TAB>DESCRIPTION" per variable in name order, after one
/// comment line naming the columns. TYPE is the native DBR type of the bare name ("DBR_DOUBLE"),
/// ACCESS "rw" or "ro"; tabs and line breaks in a description become spaces, so every line splits
/// into five fields.
void writePvList(const PvTable& table, std::ostream& out);

} // namespace telvik::bridge
