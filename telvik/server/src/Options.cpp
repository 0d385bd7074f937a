#include "telvik/server/Options.hpp"

#include "ProductVersion.hpp"
#include "telvik/protocol/Decoder.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace telvik::server {

namespace {

std::optional<std::uint64_t> parseUnsigned(const std::string& s) {
  if (s.empty() || s[0] == '-' || s[0] == '+') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(s.c_str(), &end, 10);
  if (errno != 0 || end == s.c_str() || *end != '\0') return std::nullopt;
  return v;
}

std::optional<double> parseDouble(const std::string& s) {
  if (s.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (errno != 0 || end == s.c_str() || *end != '\0' || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::vector<std::string> words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  std::string w;
  while (in >> w)
    out.push_back(w);
  return out;
}

// "host" or "host:port"; the port defaults to the beacon port.
std::optional<Endpoint> parseEndpoint(const std::string& s, std::uint16_t defaultPort) {
  Endpoint e;
  auto colon = s.rfind(':');
  if (colon == std::string::npos) {
    e.address = s;
    e.port = defaultPort;
  } else {
    e.address = s.substr(0, colon);
    auto p = parseUnsigned(s.substr(colon + 1));
    if (!p || *p == 0 || *p > 65535) return std::nullopt;
    e.port = static_cast<std::uint16_t>(*p);
  }
  if (e.address.empty()) return std::nullopt;
  return e;
}

struct Fail {
  std::string message;
};

bool yesNo(const std::string& what, const std::string& value) {
  std::string v = words(value)[0];
  for (auto& c : v)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (v != "YES" && v != "NO") throw Fail{what + ": '" + value + "' is neither YES nor NO"};
  return v == "YES";
}

// CA speaks IPv4 only (a search reply carries the address as 32 bits). A multicast address would
// be a group to join, which this server does not do; 0.0.0.0 already means every interface.
void addInterface(std::vector<std::string>& list, const std::string& what, const std::string& text) {
  in_addr a{};
  if (text.empty() || ::inet_pton(AF_INET, text.c_str(), &a) != 1)
    throw Fail{what + ": '" + text + "' is not an IPv4 address"};
  const std::uint32_t host = ntohl(a.s_addr);
  if ((host >> 28) == 0xE)
    throw Fail{what + ": '" + text + "' is a multicast address; give an interface's address"};
  const bool any = host == 0;
  const bool hadAny = std::find(list.begin(), list.end(), "0.0.0.0") != list.end();
  if ((any && !list.empty() && !hadAny) || (!any && hadAny))
    throw Fail{what + ": 0.0.0.0 serves every interface and cannot be combined with other addresses"};
  if (std::find(list.begin(), list.end(), text) == list.end()) list.push_back(text);
}

} // namespace

std::optional<std::string> processEnv(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

std::string helpText(const std::string& programName) {
  return "Usage: " + programName +
         " [options]\n"
         "Serves the application's variables over EPICS Channel Access.\n"
         "\n"
         "  --prefix P            prepended to every PV name (default QUELLOR:)\n"
         "  --interface ADDR      IPv4 address to serve, repeatable (default 127.0.0.1;\n"
         "                        EPICS_CAS_INTF_ADDR_LIST); 0.0.0.0 alone serves every interface\n"
         "  --port N              CA server port (default 5064; EPICS_CAS_SERVER_PORT, "
         "EPICS_CA_SERVER_PORT);\n"
         "                        0 picks a free port and reports it on standard error\n"
         "  --beacon-address ADDR beacon destination, host[:port], repeatable (default 127.255.255.255;\n"
         "                        EPICS_CAS_BEACON_ADDR_LIST; port from EPICS_CAS_BEACON_PORT, default "
         "5065)\n"
         "  --trigger-rate HZ     rate of Server/triggerNumber (default 10); 0 = written only by clients\n"
         "  --persist FILE        operator settings saved and restored (default quellorctrl.persist);\n"
         "                        none turns it off\n"
         "  --persist-request FILE  the variables whose settings are kept: one path pattern per line\n"
         "                        (* within a level, ** across levels, # comments); without it nothing\n"
         "                        is kept (default quellorctrl.req)\n"
         "  --access FILE         write-access rules: lines user@host, '*' for any (default: none)\n"
         "  --metadata FILE       record conventions: states, alarms, limits, precision, deadbands\n"
         "                        (default: APP.meta in the working directory, else built in);\n"
         "                        none serves plain values\n"
         "  --stall-timeout S     close a client's circuit that has taken no data for S seconds\n"
         "                        (default 60)\n"
         "  --idle-timeout S      send an ECHO to a client that has neither sent a request nor taken\n"
         "                        an update for S seconds (default: EPICS_CA_CONN_TMO, 30, plus the\n"
         "                        echo timeout, so that clients' own ECHO comes first)\n"
         "  --echo-timeout S      close its circuit when no answer comes within S seconds (default 5)\n"
         "  --help                this text\n"
         "  --version             the version\n"
         "\n"
         "Also read: EPICS_CA_MAX_ARRAY_BYTES (by default a client's message may carry what the\n"
         "largest variable needs; this raises it, and with EPICS_CA_AUTO_ARRAY_BYTES=NO sets it),\n"
         "EPICS_CAS_IGNORE_ADDR_LIST (hosts whose searches are not answered),\n"
         "EPICS_CAS_BEACON_PERIOD / EPICS_CA_BEACON_PERIOD (longest beacon gap, seconds),\n"
         "EPICS_CAS_AUTO_BEACON_ADDR_LIST (YES, the default: beacons also to the broadcast address\n"
         "of every interface served).\n"
         "\n"
         "Several servers on one host may share the port: the search port is shared, a server whose\n"
         "TCP port is taken uses a free one and announces it, and a search sent to the host's\n"
         "address is passed on to the other servers of that port on this host.\n";
}

MessageLimits messageLimits(const Options& options, std::uint64_t largestVariableBytes) {
  using protocol::payloadLimitFromMaxArrayBytes;
  if (!options.autoArrayBytes && options.maxArrayBytes != 0) {
    const auto fixed = payloadLimitFromMaxArrayBytes(options.maxArrayBytes);
    return {fixed, fixed};
  }
  // What a client sends has to fit a variable, so anything larger is refused before it is read: a
  // circuit then never holds more than that of a half-sent message.
  const auto request = std::max(largestVariableBytes, options.maxArrayBytes);
  // A reply may be larger than the variable's own form (every element of an array as text, say);
  // what piles up of those is bounded by the output budgets, not by this.
  const auto reply = std::max<std::uint64_t>(request, std::uint64_t{16} * 1024 * 1024);
  return {payloadLimitFromMaxArrayBytes(request), payloadLimitFromMaxArrayBytes(reply)};
}

std::string versionText(const std::string& programName) {
  return programName + " " + product::versionText + "\n";
}

ParseResult parseOptions(const std::vector<std::string>& args, const EnvLookup& env,
                         const std::string& programName) {
  ParseResult r;
  Options& o = r.options;
  auto fromEnv =
      [&env](std::initializer_list<const char*> names) -> std::optional<std::pair<std::string, std::string>> {
    for (const char* n : names) {
      auto v = env(n);
      if (v && !words(*v).empty()) return std::make_pair(std::string(n), *v);
    }
    return std::nullopt;
  };
  auto setPort = [](const std::string& what, const std::string& v) -> std::uint16_t {
    auto p = parseUnsigned(v);
    if (!p || *p > 65535) throw Fail{what + ": '" + v + "' is not a port number (0 to 65535)"};
    return static_cast<std::uint16_t>(*p);
  };
  auto setRate = [](const std::string& what, const std::string& v) {
    auto d = parseDouble(v);
    if (!d || *d < 0 || *d > 100000) throw Fail{what + ": '" + v + "' is not a rate in Hz (0 to 100000)"};
    return *d;
  };
  auto setTimeout = [](const std::string& what, const std::string& v) {
    auto d = parseDouble(v);
    if (!d || !(*d >= 0.1 && *d <= 86400))
      throw Fail{what + ": '" + v + "' is not a time in seconds (0.1 to 86400)"};
    return *d;
  };
  try {
    std::uint16_t beaconPort = 5065;
    if (auto e = fromEnv({"EPICS_CAS_BEACON_PORT", "EPICS_CA_REPEATER_PORT"})) {
      beaconPort = setPort(e->first, words(e->second)[0]);
      if (beaconPort == 0) throw Fail{e->first + ": port 0 cannot receive beacons"};
    }
    o.beaconPort = beaconPort;
    o.beaconAddresses = {{"127.255.255.255", beaconPort}};
    if (auto e = fromEnv({"EPICS_CAS_INTF_ADDR_LIST"})) {
      o.interfaces.clear();
      for (auto& w : words(e->second))
        addInterface(o.interfaces, e->first, w);
    }
    if (auto e = fromEnv({"EPICS_CAS_AUTO_BEACON_ADDR_LIST"}))
      o.autoBeaconAddresses = yesNo(e->first, e->second);
    if (auto e = fromEnv({"EPICS_CAS_SERVER_PORT", "EPICS_CA_SERVER_PORT"}))
      o.port = setPort(e->first, words(e->second)[0]);
    if (auto e = fromEnv({"EPICS_CAS_BEACON_ADDR_LIST"})) {
      o.beaconAddresses.clear();
      for (auto& w : words(e->second)) {
        auto ep = parseEndpoint(w, beaconPort);
        if (!ep) throw Fail{e->first + ": '" + w + "' is not host[:port]"};
        o.beaconAddresses.push_back(*ep);
      }
    }
    if (o.interfaces.empty()) throw Fail{"EPICS_CAS_INTF_ADDR_LIST: no address"};
    if (auto e = fromEnv({"EPICS_CAS_IGNORE_ADDR_LIST"})) o.ignoreAddresses = words(e->second);
    if (auto e = fromEnv({"EPICS_CAS_BEACON_PERIOD", "EPICS_CA_BEACON_PERIOD"})) {
      // A value that is not a positive number leaves the default rather than stopping the server.
      auto d = parseDouble(words(e->second)[0]);
      if (d && *d > 0) o.beaconPeriod = *d;
    }
    double clientEchoPeriod = 30.0;
    if (auto e = fromEnv({"EPICS_CA_CONN_TMO"})) {
      // A client setting that makes no sense leaves the default rather than stopping the server.
      auto d = parseDouble(words(e->second)[0]);
      if (d && *d >= 0.1 && *d <= 86400) clientEchoPeriod = *d;
    }
    std::optional<double> idleTimeout;
    if (auto e = fromEnv({"EPICS_CA_AUTO_ARRAY_BYTES"})) o.autoArrayBytes = yesNo(e->first, e->second);
    if (auto e = fromEnv({"EPICS_CA_MAX_ARRAY_BYTES"})) {
      auto v = parseUnsigned(words(e->second)[0]);
      if (!v) throw Fail{e->first + ": '" + e->second + "' is not a byte count"};
      o.maxArrayBytes = *v;
    }

    // The first use of a repeatable option replaces what the environment said.
    bool interfaceGiven = false, beaconGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      std::string name = a;
      std::optional<std::string> inlineValue;
      if (a.rfind("--", 0) == 0) {
        auto eq = a.find('=');
        if (eq != std::string::npos) {
          name = a.substr(0, eq);
          inlineValue = a.substr(eq + 1);
        }
      }
      if (name == "--help" || name == "-h") {
        r.action = ParseResult::Action::help;
        r.message = helpText(programName);
        return r;
      }
      if (name == "--version") {
        r.action = ParseResult::Action::version;
        r.message = versionText(programName);
        return r;
      }
      auto value = [&]() -> std::string {
        if (inlineValue) return *inlineValue;
        if (i + 1 >= args.size()) throw Fail{"option " + name + " needs a value"};
        return args[++i];
      };
      if (name == "--prefix")
        o.prefix = value();
      else if (name == "--interface") {
        if (!interfaceGiven) o.interfaces.clear();
        interfaceGiven = true;
        addInterface(o.interfaces, "--interface", value());
      } else if (name == "--port")
        o.port = setPort("--port", value());
      else if (name == "--beacon-address") {
        auto v = value();
        auto ep = parseEndpoint(v, beaconPort);
        if (!ep) throw Fail{"--beacon-address: '" + v + "' is not host[:port]"};
        if (!beaconGiven) o.beaconAddresses.clear();
        beaconGiven = true;
        if (std::find(o.beaconAddresses.begin(), o.beaconAddresses.end(), *ep) == o.beaconAddresses.end())
          o.beaconAddresses.push_back(*ep);
      } else if (name == "--trigger-rate")
        o.triggerRate = setRate("--trigger-rate", value());
      else if (name == "--persist") {
        o.persistFile = value();
        if (o.persistFile == "none")
          o.persistFile.clear();
        else if (o.persistFile.empty())
          throw Fail{"--persist: empty file name (use none to turn it off)"};
      } else if (name == "--persist-request") {
        o.persistRequest = value();
        if (o.persistRequest.empty()) throw Fail{"--persist-request: empty file name"};
      } else if (name == "--stall-timeout") {
        o.stallTimeout = setTimeout(name, value());
      } else if (name == "--idle-timeout") {
        idleTimeout = setTimeout(name, value());
      } else if (name == "--echo-timeout") {
        o.echoTimeout = setTimeout(name, value());
      } else if (name == "--metadata") {
        o.metadataFile = value();
        if (o.metadataFile.empty()) throw Fail{"--metadata: empty file name (use none to turn it off)"};
      } else if (name == "--access") {
        o.accessFile = value();
        if (o.accessFile.empty()) throw Fail{"--access: empty file name"};
      } else {
        throw Fail{"unknown option '" + a + "' (see --help)"};
      }
    }
    o.idleTimeout = idleTimeout ? *idleTimeout : clientEchoPeriod + o.echoTimeout;
  } catch (const Fail& f) {
    r.action = ParseResult::Action::error;
    r.message = programName + ": " + f.message;
  }
  return r;
}

} // namespace telvik::server
