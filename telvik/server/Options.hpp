// Command-line and environment settings of quellor_server.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace telvik::server {

struct Endpoint {
  std::string address;
  std::uint16_t port = 0;
  friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

struct Options {
  std::string prefix = "QUELLOR:";
  // Every address is served: searches are answered on the one they came in on, circuits accepted
  // on all. "0.0.0.0" (alone) stands for every interface of the host.
  std::vector<std::string> interfaces{"127.0.0.1"};
  std::uint16_t port = 5064; // 0: any free port, reported on standard error
  std::vector<Endpoint> beaconAddresses{{"127.255.255.255", 5065}};
  // EPICS_CAS_AUTO_BEACON_ADDR_LIST: beacons also go to the broadcast address of every interface
  // served, at the port of the first beacon address (or 5065).
  bool autoBeaconAddresses = true;
  std::uint16_t beaconPort = 5065;
  std::vector<std::string> ignoreAddresses;        // UDP requests from these are not answered
  double beaconPeriod = 15.0;                      // longest gap between beacons, seconds
  double triggerRate = 10.0;                       // Hz; 0 leaves the trigger to the clients
  std::string persistFile = "quellorctrl.persist"; // empty: off
  std::string persistRequest = "quellorctrl.req";  // the variables whose settings are kept
  std::string accessFile;                          // empty: everyone may write what is writable
  // Record conventions (states, alarms, limits, ...): empty takes "<application>.meta" from the
  // working directory, else the program's built-in description; "none" serves plain values.
  std::string metadataFile;
  // EPICS_CA_MAX_ARRAY_BYTES, 0 when not set. A client's message may carry what the largest
  // variable needs, or this much if it is more; with autoArrayBytes off (EPICS_CA_AUTO_ARRAY_BYTES=NO)
  // exactly this much, in both directions.
  std::uint64_t maxArrayBytes = 0;
  bool autoArrayBytes = true;
  std::size_t maxCircuits = 1024;
  std::size_t maxChannelsPerCircuit = 8192;
  std::size_t maxSubscriptionsPerCircuit = 16384;
  double persistDelay = 1.0; // seconds between a change and its save
  // A circuit whose peer has not taken a pending write for this long is closed: its subscriptions
  // would otherwise hold server memory and a socket for ever.
  double stallTimeout = 60.0;
  // A circuit whose client has neither sent a message nor taken updates for idleTimeout is sent an
  // ECHO, and closed when no answer comes within echoTimeout. Clients send their own ECHO after
  // EPICS_CA_CONN_TMO (30 s) of silence and never answer one from the server, so the idle time
  // must exceed theirs: by default it is EPICS_CA_CONN_TMO plus the echo time.
  double idleTimeout = 35.0;
  double echoTimeout = 5.0;
};

struct ParseResult {
  enum class Action { run, help, version, error };
  Action action = Action::run;
  Options options;
  std::string message; // the help text, the version line or the error
};

// How large a message may be on a circuit.
struct MessageLimits {
  std::size_t request = 0; // payload a client may send; a larger message is skipped unread
  std::size_t reply = 0;   // payload of a reply or update the server sends
};

/// From the options and the room the largest variable needs in its widest form.
[[nodiscard]] MessageLimits messageLimits(const Options& options, std::uint64_t largestVariableBytes);

using EnvLookup = std::function<std::optional<std::string>(const std::string&)>;

/// The process environment.
std::optional<std::string> processEnv(const std::string& name);

/// Environment first, then the command line on top of it, so an explicit option always wins.
[[nodiscard]] ParseResult parseOptions(const std::vector<std::string>& args, const EnvLookup& env,
                                       const std::string& programName = "quellor_server");

[[nodiscard]] std::string helpText(const std::string& programName);
[[nodiscard]] std::string versionText(const std::string& programName);

} // namespace telvik::server
