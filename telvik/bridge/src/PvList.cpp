#include "telvik/bridge/PvList.hpp"

#include <algorithm>
#include <ostream>

namespace telvik::bridge {

namespace {

const char* dbrName(protocol::DbrType t) {
  static constexpr const char* names[] = {"DBR_STRING", "DBR_SHORT", "DBR_FLOAT", "DBR_ENUM",
                                          "DBR_CHAR",   "DBR_LONG",  "DBR_DOUBLE"};
  const auto i = static_cast<std::size_t>(t);
  return i < std::size(names) ? names[i] : "DBR_STRING";
}

std::string oneField(std::string s) {
  std::replace_if(
      s.begin(), s.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
  return s;
}

} // namespace

void writePvList(const PvTable& table, std::ostream& out) {
  std::vector<const ServedVariable*> vars;
  for (auto& v : table.all())
    vars.push_back(v.get());
  std::sort(vars.begin(), vars.end(), [](auto* a, auto* b) { return a->name() < b->name(); });
  out << "# name\ttype\tcount\taccess\tdescription\n";
  for (auto* v : vars)
    out << v->name() << '\t' << dbrName(protocol::nativeDbrType(v->nativeType())) << '\t' << v->nativeCount()
        << '\t' << (v->writable() ? "rw" : "ro") << '\t' << oneField(v->info().description) << '\n';
}

} // namespace telvik::bridge
