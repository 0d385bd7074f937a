#pragma once
// Reading a whole text file that the operator names (configuration, device map, register map,
// access rules). A folder opens like a file on Linux and then fails to read, which the standard
// streams report as a bare "basic_filebuf::underflow" or, worse, as an empty file; the reason here
// is one an operator understands.

#include <filesystem>
#include <optional>
#include <string>

namespace orvane::device {

/// The file's content, or nothing with `reason` set ("No such file or directory", "it is a
/// directory", ...); never throws for a fault of the file.
[[nodiscard]] std::optional<std::string> readTextFile(const std::filesystem::path& file, std::string& reason);

} // namespace orvane::device
