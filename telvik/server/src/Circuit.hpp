// One TCP circuit: reads and decodes the client's requests, answers each with its handler, and
// writes replies and subscription updates without ever letting one client hold up another.
#pragma once

#include "Fanout.hpp"
#include "Liveness.hpp"

#include "telvik/protocol/Decoder.hpp"
#include "telvik/server/AccessRules.hpp"
#include "telvik/server/Options.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <unordered_map>

namespace telvik::server {

class Circuit;

// What a circuit needs of the server around it. Owned by the server; outlives its circuits.
struct CircuitContext {
  CircuitContext(const bridge::PvTable& t, const Options& o, const AccessRules& r, Fanout& f, ServerStats& s)
      : table(t), options(o), rules(r), fanout(f), stats(s) {}

  const bridge::PvTable& table;
  const Options& options;
  const AccessRules& rules;
  Fanout& fanout;
  ServerStats& stats;
  std::uint16_t port = 0; // the server's TCP port, for TCP search replies
  MessageLimits limits;
  // Output waiting on all circuits: replies not yet written and writes not yet taken. A circuit
  // over its own share, or with output of its own while the whole is over the server's, takes no
  // further requests until its client has taken what it asked for, and its subscriptions keep
  // only their newest update. One reply more than the budget may go out; then it stops.
  std::size_t queuedOutput = 0;
  std::size_t outputBudget = std::size_t{32} * 1024 * 1024;
  std::size_t circuitOutputBudget = std::size_t{4} * 1024 * 1024;
  std::function<void(Circuit&, bool fault)> closed;
};

class Circuit final : public std::enable_shared_from_this<Circuit>, public UpdateSink {
 public:
  Circuit(CircuitContext& context, boost::asio::ip::tcp::socket socket);

  /// Sends the server's VERSION and starts reading.
  void start();
  /// Drops every channel and subscription and closes the socket; `fault` counts it as the
  /// client's fault. The reason goes to the event log. Idempotent.
  void close(bool fault, const std::string& reason);

  [[nodiscard]] bool latestOnly() const override { return eventsOff_ || overBudget(); }
  void updateReady(const SubscriptionPtr& sub) override;

  /// Whether a write has not completed for `limit`: the peer is gone or stopped reading for good;
  /// keepalive would take hours to notice.
  [[nodiscard]] bool writeStalled(std::chrono::steady_clock::time_point now,
                                  std::chrono::steady_clock::duration limit) const {
    return writing_ && now - writeStarted_ > limit;
  }
  [[nodiscard]] const std::string& peer() const { return peer_; }
  [[nodiscard]] std::size_t channelCount() const { return channels_.size(); }
  /// Sends the ECHO probe when the client has been silent for `idle`; true when the probe has
  /// gone unanswered for `echo` and the circuit should be closed.
  [[nodiscard]] bool unresponsive(Liveness::Clock::time_point now, Liveness::Clock::duration idle,
                                  Liveness::Clock::duration echo);

 private:
  void read();
  bool process();
  void resume();
  [[nodiscard]] std::size_t ownOutput() const { return controlBytes_ + (writing_ ? out_.size() : 0); }
  [[nodiscard]] bool overBudget() const;
  void account();
  void dispatch(const protocol::Header& h, const protocol::ClientMessage& m);
  void pump();

  template <typename M> void send(const M& m);
  void queueControl(protocol::Bytes b);
  void error(const protocol::Header& request, std::uint32_t cid, protocol::EcaStatus status,
             std::string text);

  // Handlers, one per command. Those of requests that name a channel get it found already.
  void handle(const protocol::Header& h, const protocol::Version& m);
  void handle(const protocol::Header& h, const protocol::Search& m);
  void handle(const protocol::Header& h, const protocol::ClientName& m);
  void handle(const protocol::Header& h, const protocol::HostName& m);
  void handle(const protocol::Header& h, const protocol::CreateChannel& m);
  void handle(const protocol::Header& h, const protocol::ReadNotify& m, Channel& ch);
  void handle(const protocol::Header& h, const protocol::Read& m, Channel& ch);
  void handle(const protocol::Header& h, const protocol::Write& m, Channel& ch);
  void handle(const protocol::Header& h, const protocol::WriteNotify& m, Channel& ch);
  void handle(const protocol::Header& h, const protocol::EventAdd& m, Channel& ch);
  void handle(const protocol::Header& h, const protocol::EventCancel& m);
  void handle(const protocol::Header& h, const protocol::ClearChannel& m, Channel& ch);
  void handle(const protocol::Header& h, const protocol::EventsOff& m);
  void handle(const protocol::Header& h, const protocol::EventsOn& m);
  void handle(const protocol::Header& h, const protocol::Echo& m);
  void handle(const protocol::Header& h, const protocol::ReadSync& m);

  void readValue(const protocol::Header& h, std::uint16_t dataType, std::uint32_t dataCount,
                 std::uint32_t ioid, Channel& ch, bool notify);
  [[nodiscard]] bool tooLarge(std::uint16_t type, std::uint32_t count, std::uint32_t nativeCount) const;
  void refreshRights();
  [[nodiscard]] bool mayWrite(const bridge::ChannelTarget& t) const;
  void removeSubscription(const SubscriptionPtr& sub);
  void write(const protocol::Header& h, std::uint16_t dataType, std::uint32_t dataCount,
             protocol::ByteView data, std::uint32_t ioid, bool notify, Channel& ch);
  void dropSubscriptions(Channel& ch);
  void encodeUpdate(const Subscription& sub, const bridge::ServedUpdate& u);

  CircuitContext& context_;
  boost::asio::ip::tcp::socket socket_;
  protocol::StreamDecoder decoder_;
  std::array<std::uint8_t, std::size_t{64} * 1024> buffer_; // not cleared: only what a read fills is used
  std::string peer_, peerEndpoint_, user_, host_;           // peer_: the address alone, for the access rules
  std::uint16_t minor_ = protocol::serverMinorVersion;
  std::uint16_t priority_ = 0;
  std::uint32_t nextSid_ = 1;
  std::unordered_map<std::uint32_t, std::unique_ptr<Channel>> channels_;
  std::unordered_map<std::uint32_t, SubscriptionPtr> subscriptions_;
  std::deque<protocol::Bytes> control_;
  std::size_t controlBytes_ = 0;
  std::deque<SubscriptionPtr> ready_;
  protocol::Bytes out_;
  bool writing_ = false;
  bool batchHasUpdates_ = false;
  std::chrono::steady_clock::time_point writeStarted_{};
  bool eventsOff_ = false;
  bool closed_ = false;
  bool paused_ = false;       // requests wait for the client to take its replies
  std::size_t accounted_ = 0; // this circuit's part of context_.queuedOutput
  Liveness liveness_{Liveness::Clock::now()};
};

} // namespace telvik::server
