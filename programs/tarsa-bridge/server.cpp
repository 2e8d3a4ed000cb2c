// The bridge's network side on Boost.Beast: HTTP for the console page, WebSocket for the
// Foxglove protocol, one thread running every connection.
#include "server.h"

// Asio 1.74's awaitable.hpp uses std::exchange without including <utility>: the standard
// headers come first.
// clang-format off
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <variant>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
// clang-format on

#include "channels.h"
#include "outbox.h"

namespace bridge {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kMaxClientMessage = 64 * 1024;  // a drive command is well under 1 KiB
constexpr std::size_t kMaxRequestBytes = 8 * 1024;

// The console's icon: the robot seen from above, facing up.
constexpr std::string_view kFavicon =
    R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 32 32">)"
    R"(<circle cx="16" cy="16" r="14" fill="#1e242b" stroke="#4fb3ff" stroke-width="3"/>)"
    R"(<path d="M16 5 L23 19 L16 16 L9 19 Z" fill="#4fb3ff"/></svg>)";

// An IPv4 peer reached through an IPv6 socket compares as the IPv4 address it is.
net::ip::address plain(const net::ip::address &a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    return net::ip::make_address_v4(net::ip::v4_mapped, a.to_v6());
  return a;
}

// The first subprotocol of the client's list that the bridge speaks, "" when none.
std::string pick_subprotocol(std::string_view offered) {
  while (!offered.empty()) {
    auto comma = offered.find(',');
    std::string_view item = offered.substr(0, comma);
    offered = comma == std::string_view::npos ? std::string_view{} : offered.substr(comma + 1);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    for (std::string_view p : kSubprotocols)
      if (item == p) return std::string(p);
  }
  return {};
}

}  // namespace

class WsSession;

struct Server::Impl {
  ServerOptions options;
  std::vector<Channel> channels;
  DriveInput drive;
  std::string page;
  std::vector<net::ip::address> allowed;
  std::string session_id;

  net::io_context ioc{1};
  tcp::acceptor acceptor{ioc};
  std::thread thread;

  mutable std::mutex mutex;
  std::vector<std::shared_ptr<WsSession>> sessions;
  std::atomic<std::uint64_t> dropped{0};
  std::atomic<std::uint64_t> commander{0};  // serial of the session whose command is in force
  std::atomic<std::uint64_t> serials{0};

  Controls controls;

  // Messages sent to clients and dropped for them, by channel id, since the start.
  struct Tally {
    std::atomic<std::uint64_t> sent{0}, dropped{0};
  };
  std::unique_ptr<Tally[]> tally;
  std::uint32_t max_channel = 0;
  Tally *tally_of(std::uint32_t channel) {
    return channel && channel <= max_channel ? &tally[channel] : nullptr;
  }

  std::mutex path_mutex;
  PathHistory path;  // for a console page opened mid-run

  Impl(ServerOptions o, std::vector<Channel> c, DriveInput d, std::string_view p, Controls k)
      : options(std::move(o)),
        channels(std::move(c)),
        drive(std::move(d)),
        page(p),
        controls(std::move(k)) {
    for (auto &ch : channels) max_channel = std::max(max_channel, ch.id);
    tally = std::make_unique<Tally[]>(max_channel + 1);
  }
  bool has_controls() const { return bool(controls.parameters); }
  // The current values of `names` (every parameter when empty), unknown names left out.
  std::vector<ParameterValue> values_of(const std::vector<std::string> &names) const;
  // Sends the values of `changed` to every client subscribed to them.
  void parameters_changed(const std::vector<std::string> &changed);

  void accept();
  // Out of descriptors: accepting pauses, 100 ms at first, doubling up to a second.
  void pause_accepting(const beast::error_code &ec);
  // Makes room for a client that may drive: closes the watcher heard from least recently.
  bool evict_idlest_watcher();
  net::steady_timer backoff{ioc};
  std::chrono::milliseconds backoff_ms{0};
  void add(std::shared_ptr<WsSession> s) {
    std::lock_guard lock(mutex);
    sessions.push_back(std::move(s));
  }
  void remove(const WsSession *s);
  std::size_t client_count() const {
    std::lock_guard lock(mutex);
    return sessions.size();
  }
  bool may_drive(const net::ip::address &peer) const {
    for (auto &a : allowed)
      if (a == plain(peer)) return true;
    return false;
  }
};

class WsSession : public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(tcp::socket socket, Server::Impl &srv)
      : ws_(std::move(socket)),
        srv_(srv),
        outbox_(srv.options.queue_bytes, srv.options.channel_queue),
        serial_(++srv.serials) {}

  void run(http::request<http::string_body> req, std::string subprotocol) {
    beast::error_code ec;
    auto peer = beast::get_lowest_layer(ws_).socket().remote_endpoint(ec).address();
    state_.address = plain(peer).to_string();
    subprotocol_ = subprotocol;
    auto port = beast::get_lowest_layer(ws_).socket().remote_endpoint(ec).port();
    const bool v6 = state_.address.find(':') != std::string::npos;
    name_ = "client " + std::to_string(serial_) + " (" + (v6 ? "[" : "") + state_.address +
            (v6 ? "]:" : ":") + std::to_string(port) + ")";
    state_.may_publish = srv_.may_drive(peer);
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout t{};
    t.handshake_timeout = 10s;
    t.idle_timeout = 30s;
    t.keep_alive_pings = true;
    ws_.set_option(t);
    ws_.read_message_max(kMaxClientMessage);
    ws_.set_option(websocket::stream_base::decorator([subprotocol](websocket::response_type &res) {
      res.set(http::field::sec_websocket_protocol, subprotocol);
      res.set(http::field::server, "tarsa-bridge");
    }));
    ws_.async_accept(req, [self = shared_from_this()](beast::error_code e) { self->on_accept(e); });
  }

  // Queues a message for this client when it subscribed to the channel and its rate, if it
  // asked for one, lets it through. `latest`: only the newest waiting message matters.
  void offer(std::uint32_t channel, std::uint64_t time_ns,
             const std::shared_ptr<const std::string> &payload, bool latest) {
    std::lock_guard lock(mutex_);
    auto it = by_channel_.find(channel);
    if (closed_ || it == by_channel_.end() || !it->second.due(time_ns)) return;
    queue_locked({latest ? Outgoing::kLatest : Outgoing::kMessage, true, channel,
                  message_data_header(it->second.id, time_ns), payload});
  }

  std::size_t queued() {
    std::lock_guard lock(mutex_);
    return outbox_.bytes();
  }

  bool watcher() const { return !state_.may_publish; }
  // The network thread's alone, as the client's state.
  const std::set<std::string> &parameter_subscriptions() const { return parameter_subs_; }
  void send_control(std::string text) { send_text(Outgoing::kMessage, std::move(text)); }
  std::chrono::steady_clock::time_point last_heard() const { return last_heard_; }

  void close() {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      closed_ = true;
      by_channel_.clear();
    }
    // A client that drove and went away leaves the robot stopped, watchdog or not.
    give_up_driving("it disconnected");
    if (joined_) say(name_ + " disconnected");
    srv_.remove(this);
    beast::error_code ec;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ec);
    beast::get_lowest_layer(ws_).close();
  }

 private:
  void on_accept(beast::error_code ec) {
    if (ec) return close();
    srv_.add(shared_from_this());
    joined_ = true;
    say(name_ + " connected (" + subprotocol_ + "), " +
        (state_.may_publish ? "may drive" : "watching"));
    send_text(Outgoing::kControl,
              server_info(state_.may_publish, srv_.session_id, srv_.has_controls()));
    send_text(Outgoing::kControl, advertise(srv_.channels));
    if (!srv_.controls.services.empty()) {
      std::vector<ServiceInfo> infos;
      for (const Service &s : srv_.controls.services) infos.push_back(s.info);
      send_text(Outgoing::kControl, advertise_services(infos));
    }
    read();
  }

  void read() {
    ws_.async_read(in_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return self->close();
      self->last_heard_ = std::chrono::steady_clock::now();
      self->on_message();
      self->read();
    });
  }

  void on_message() {
    auto bytes = in_.cdata();
    Outcome out;
    if (ws_.got_text()) {
      out = handle_text(state_, {static_cast<const char *>(bytes.data()), bytes.size()},
                        srv_.channels);
    } else {
      out = handle_binary(state_, {static_cast<const std::uint8_t *>(bytes.data()), bytes.size()});
    }
    in_.consume(in_.size());
    for (auto &r : out.replies) send_text(Outgoing::kMessage, std::move(r));
    if (out.drive) {
      srv_.drive.command(*out.drive);
      take_driving();
    }
    if (out.withdrawn && state_.publications.empty()) give_up_driving("it withdrew /cmd_vel");
    if (out.subscriptions_changed) update_subscriptions(std::move(out.max_rates));
    if (out.parameters) on_parameters(*out.parameters);
    if (out.call) on_service_call(*out.call);
  }

  // The client's subscriptions as the robot loop sees them, with the rates asked for; one
  // kept keeps its schedule.
  void update_subscriptions(std::map<std::uint32_t, double> asked) {
    std::lock_guard lock(mutex_);
    std::erase_if(rates_, [&](auto &r) { return !state_.subscriptions.count(r.first); });
    rates_.merge(asked);
    std::map<std::uint32_t, Subscription> now;
    for (auto [sub, channel] : state_.subscriptions) {
      Subscription s{sub};
      if (auto r = rates_.find(sub); r != rates_.end())
        s.interval_ns = std::uint64_t(1e9 / r->second);
      if (auto old = by_channel_.find(channel); old != by_channel_.end() && old->second.id == sub &&
                                                old->second.interval_ns == s.interval_ns)
        s.next_ns = old->second.next_ns;
      now[channel] = s;
    }
    by_channel_ = std::move(now);
  }

  void on_parameters(const ParameterRequest &r);
  void on_service_call(const ServiceCall &c);

  // A binary frame for the client (a service's response): never dropped.
  void send_binary(std::string bytes) {
    std::lock_guard lock(mutex_);
    if (!closed_)
      queue_locked(
          {Outgoing::kControl, true, 0, {}, std::make_shared<const std::string>(std::move(bytes))});
  }

  // This client's command is in force; a line when it was not already.
  void take_driving() {
    const std::uint64_t before = srv_.commander.exchange(serial_);
    if (before == serial_) return;
    say(name_ + " drives" +
        (before ? ", taking over from client " + std::to_string(before) : std::string()));
  }

  // This client's command no longer counts: the wheels stop, if it was the one in force.
  void give_up_driving(const char *why) {
    std::uint64_t mine = serial_;
    if (!srv_.commander.compare_exchange_strong(mine, 0)) return;
    srv_.drive.stop();
    say(name_ + " stopped driving: " + why);
  }

  static void say(const std::string &line) {
    std::printf("tarsa-bridge: %s\n", line.c_str());
    std::fflush(stdout);
  }

  void send_text(Outgoing::Kind kind, std::string text) {
    std::lock_guard lock(mutex_);
    if (!closed_)
      queue_locked({kind, false, 0, {}, std::make_shared<const std::string>(std::move(text))});
  }

  void queue_locked(Outgoing m) {
    srv_.dropped += outbox_.push(std::move(m), [this](std::uint32_t channel) {
      if (auto *t = srv_.tally_of(channel)) ++t->dropped;
    });
    if (writing_) return;
    writing_ = true;
    net::post(ws_.get_executor(), [self = shared_from_this()] { self->write_next(); });
  }

  void write_next() {
    {
      std::lock_guard lock(mutex_);
      if (closed_ || !outbox_.pop(inflight_)) {
        writing_ = false;
        return;
      }
    }
    ws_.binary(inflight_.binary);
    std::array<net::const_buffer, 2> buffers{net::buffer(inflight_.head),
                                             net::buffer(*inflight_.body)};
    ws_.async_write(buffers, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return self->close();
      if (auto *t = self->inflight_.binary ? self->srv_.tally_of(self->inflight_.channel) : nullptr)
        ++t->sent;
      self->write_next();
    });
  }

  websocket::stream<beast::tcp_stream> ws_;
  Server::Impl &srv_;
  ClientState state_;                      // the network thread's alone
  std::map<std::uint32_t, double> rates_;  // subscription id -> messages a second asked for
  beast::flat_buffer in_;

  std::mutex mutex_;  // guards what the robot loop reaches: the queue and the subscriptions
  Outbox outbox_;
  // A subscription as the robot loop sees it: its id, and when it asked for a rate, the
  // interval and the time the next message is due.
  struct Subscription {
    std::uint32_t id = 0;
    std::uint64_t interval_ns = 0, next_ns = 0;
    // Whether a message of time `t` goes out; a due time that fell behind starts afresh, so
    // that the rate averages out to the one asked for.
    bool due(std::uint64_t t) {
      if (!interval_ns) return true;
      if (t < next_ns) return false;
      next_ns = t - next_ns < interval_ns ? next_ns + interval_ns : t + interval_ns;
      return true;
    }
  };
  std::map<std::uint32_t, Subscription> by_channel_;  // channel id -> subscription
  bool writing_ = false, closed_ = false;
  Outgoing inflight_;
  const std::uint64_t serial_;
  std::set<std::string> parameter_subs_;  // parameters whose changes the client follows
  std::string subprotocol_, name_;        // name_: "client 3 (10.0.0.9:51234)", for the log
  bool joined_ = false;
  std::chrono::steady_clock::time_point last_heard_ = std::chrono::steady_clock::now();
};

void WsSession::on_parameters(const ParameterRequest &r) {
  if (!srv_.has_controls()) {
    send_text(Outgoing::kMessage, status(1, "parameters are not offered"));
    return;
  }
  switch (r.op) {
    case ParameterRequest::kGet:
      send_text(Outgoing::kMessage, parameter_values(srv_.values_of(r.names), r.id));
      return;
    case ParameterRequest::kSubscribe:
      if (r.names.empty()) {
        for (const ParameterValue &v : srv_.values_of({})) parameter_subs_.insert(v.name);
      } else {
        parameter_subs_.insert(r.names.begin(), r.names.end());
      }
      return;
    case ParameterRequest::kUnsubscribe:
      if (r.names.empty()) parameter_subs_.clear();
      for (const std::string &n : r.names) parameter_subs_.erase(n);
      return;
    case ParameterRequest::kSet:
      break;
  }
  std::vector<std::string> changed;
  for (std::size_t i = 0; i < r.set.size(); ++i) {
    const std::string &name = r.names[i];
    std::string why = r.set[i] ? srv_.controls.set(*r.set[i]) : "a setting cannot be removed";
    if (why.empty()) {
      changed.push_back(name);
      continue;
    }
    const auto now = srv_.values_of({name});
    std::string was = now.empty() ? "" : "; stays " + now[0].json;
    send_text(Outgoing::kMessage,
              status(2, "parameter " + name + " = " + (r.set[i] ? r.set[i]->json : "(unset)") +
                            " refused: " + why + was));
  }
  // The setter hears the values in force of what it asked for; the subscribers, what changed.
  send_text(Outgoing::kMessage, parameter_values(srv_.values_of(r.names), r.id));
  if (!changed.empty()) srv_.parameters_changed(changed);
}

void WsSession::on_service_call(const ServiceCall &c) {
  const Service *service = nullptr;
  for (const Service &s : srv_.controls.services)
    if (s.info.id == c.service) service = &s;
  if (!service)
    return send_text(Outgoing::kMessage,
                     service_call_failure(c.service, c.call, "no such service"));
  if (c.encoding != "json")
    return send_text(Outgoing::kMessage,
                     service_call_failure(c.service, c.call, "requests are taken in json only"));
  ServiceResult r = service->call(c.payload);
  if (r.ok)
    send_binary(service_call_response(c, r.text));
  else
    send_text(Outgoing::kMessage, service_call_failure(c.service, c.call, r.text));
}

std::vector<ParameterValue> Server::Impl::values_of(const std::vector<std::string> &names) const {
  std::vector<ParameterValue> all = controls.parameters(), some;
  if (names.empty()) return all;
  for (const std::string &n : names)
    for (const ParameterValue &v : all)
      if (v.name == n) some.push_back(v);
  return some;
}

void Server::Impl::parameters_changed(const std::vector<std::string> &changed) {
  const std::vector<ParameterValue> values = values_of(changed);
  std::vector<std::shared_ptr<WsSession>> all;
  {
    std::lock_guard lock(mutex);
    all = sessions;
  }
  for (auto &s : all) {
    std::vector<ParameterValue> followed;
    for (const ParameterValue &v : values)
      if (s->parameter_subscriptions().count(v.name)) followed.push_back(v);
    if (!followed.empty()) s->send_control(parameter_values(followed, std::nullopt));
  }
}

// One HTTP request: the console page, or the upgrade to a WebSocket session.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, Server::Impl &srv) : stream_(std::move(socket)), srv_(srv) {}

  void run() {
    parser_.emplace();
    parser_->header_limit(kMaxRequestBytes);
    parser_->body_limit(kMaxRequestBytes);
    stream_.expires_after(10s);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
  }

 private:
  void on_read(beast::error_code ec) {
    if (ec) return;
    auto req = parser_->release();
    if (websocket::is_upgrade(req)) {
      auto offered = req[http::field::sec_websocket_protocol];
      std::string proto = pick_subprotocol({offered.data(), offered.size()});
      if (proto.empty())
        return reply(
            http::status::bad_request, "text/plain",
            "Ask for the WebSocket subprotocol foxglove.sdk.v1 or foxglove.websocket.v1.\n");
      // A client that may drive always gets in: a watcher makes room for it.
      beast::error_code e;
      const bool driver = srv_.may_drive(stream_.socket().remote_endpoint(e).address());
      if (srv_.client_count() >= srv_.options.max_clients &&
          !(driver && srv_.evict_idlest_watcher()))
        return reply(http::status::service_unavailable, "text/plain", "Too many clients.\n");
      auto s = std::make_shared<WsSession>(stream_.release_socket(), srv_);
      return s->run(std::move(req), std::move(proto));
    }
    if (req.method() != http::verb::get)
      return reply(http::status::method_not_allowed, "text/plain", "Only GET.\n");
    serve({req.target().data(), req.target().size()});
  }

  // The console page, its icon, and the path so far.
  void serve(std::string_view target) {
    if (target == "/" || target == "/index.html")
      return reply(http::status::ok, "text/html; charset=utf-8", srv_.page);
    if (target == "/favicon.svg" || target == "/favicon.ico")
      return reply(http::status::ok, "image/svg+xml", std::string(kFavicon));
    if (target == "/path.json") {
      std::unique_lock lock(srv_.path_mutex);
      std::string body = srv_.path.json();
      lock.unlock();
      return reply(http::status::ok, "application/json", std::move(body));
    }
    reply(http::status::not_found, "text/plain", "Not found.\n");
  }

  void reply(http::status status, const char *type, std::string body) {
    auto res = std::make_shared<http::response<http::string_body>>(status, 11);
    res->set(http::field::server, "tarsa-bridge");
    res->set(http::field::content_type, type);
    res->set(http::field::cache_control, "no-store");
    res->keep_alive(false);
    res->body() = std::move(body);
    res->prepare_payload();
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res](beast::error_code, std::size_t) {
                        beast::error_code e;
                        self->stream_.socket().shutdown(tcp::socket::shutdown_send, e);
                      });
  }

  beast::tcp_stream stream_;
  Server::Impl &srv_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

void Server::Impl::accept() {
  acceptor.async_accept(ioc, [this](beast::error_code ec, tcp::socket socket) {
    if (!acceptor.is_open()) return;
    if (!ec) {
      // A small kernel buffer: what a slow client cannot take waits in its own bounded queue,
      // where camera frames are dropped first, instead of megabytes of stale frames in the kernel.
      beast::error_code ignored;
      socket.set_option(tcp::socket::send_buffer_size(64 * 1024), ignored);
      std::make_shared<HttpSession>(std::move(socket), *this)->run();
    } else if (ec.value() == EMFILE || ec.value() == ENFILE) {
      // Accept errors are the system's own codes.
      return pause_accepting(ec);
    }
    backoff_ms = std::chrono::milliseconds(0);
    accept();
  });
}

void Server::Impl::pause_accepting(const beast::error_code &ec) {
  using std::chrono::milliseconds;
  if (backoff_ms.count() == 0) {
    std::printf("tarsa-bridge: cannot accept clients: %s; trying again, at most every second\n",
                ec.message().c_str());
    std::fflush(stdout);
  }
  backoff_ms = std::min(milliseconds(1000), std::max(milliseconds(100), backoff_ms * 2));
  backoff.expires_after(backoff_ms);
  backoff.async_wait([this](beast::error_code e) {
    if (!e && acceptor.is_open()) accept();
  });
}

bool Server::Impl::evict_idlest_watcher() {
  std::shared_ptr<WsSession> idlest;
  {
    std::lock_guard lock(mutex);
    for (auto &s : sessions)
      if (s->watcher() && (!idlest || s->last_heard() < idlest->last_heard())) idlest = s;
  }
  if (idlest) idlest->close();
  return idlest != nullptr;
}

void Server::Impl::remove(const WsSession *s) {
  std::lock_guard lock(mutex);
  std::erase_if(sessions, [s](const auto &p) { return p.get() == s; });
}

Server::Server(ServerOptions options, std::vector<Channel> channels, DriveInput drive,
               std::string_view page, Controls controls)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(channels), std::move(drive), page,
                                   std::move(controls))) {}

Server::~Server() {
  stop();
}

int Server::start(std::string *error) {
  Impl &m = *impl_;
  beast::error_code ec;
  for (auto &text : m.options.drive_from) {
    auto a = net::ip::make_address(text, ec);
    if (ec) {
      *error = "not an IP address in the drive list: \"" + text + "\"";
      return -1;
    }
    m.allowed.push_back(plain(a));
  }
  auto address = net::ip::make_address(m.options.bind, ec);
  if (ec) {
    *error = "not an IP address to listen on: \"" + m.options.bind + "\"";
    return -1;
  }
  tcp::endpoint at(address, m.options.port);
  auto failed = [&](const char *what) {
    *error = std::string("cannot ") + what + " " + m.options.bind + ":" +
             std::to_string(m.options.port) + ": " + ec.message();
    return -1;
  };
  if (m.acceptor.open(at.protocol(), ec)) return failed("open a socket for");
  m.acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (m.acceptor.bind(at, ec)) return failed("listen on");
  if (m.acceptor.listen(net::socket_base::max_listen_connections, ec)) return failed("listen on");
  m.session_id = std::to_string(std::chrono::system_clock::now().time_since_epoch().count());
  int port = m.acceptor.local_endpoint(ec).port();
  m.accept();
  m.thread = std::thread([&m] { m.ioc.run(); });
  return port;
}

void Server::stop() {
  Impl &m = *impl_;
  if (!m.thread.joinable()) return;
  net::post(m.ioc, [&m] {
    beast::error_code ec;
    m.acceptor.close(ec);
    m.backoff.cancel();
    std::vector<std::shared_ptr<WsSession>> all;
    {
      std::lock_guard lock(m.mutex);
      all = m.sessions;
    }
    for (auto &s : all) s->close();
    m.ioc.stop();
  });
  m.thread.join();
}

void Server::publish(const Sample &sample) {
  if (auto *p = std::get_if<OdometrySample>(&sample.value)) {
    std::lock_guard lock(impl_->path_mutex);
    impl_->path.add(sample.time_ns, p->x_m, p->y_m);
  }
  if (impl_->client_count() == 0) return;
  encode(sample, [&](ChannelKey key, std::string json) {
    auto payload = std::make_shared<const std::string>(std::move(json));
    const bool latest = key == kCamera || key == kScan;
    std::lock_guard lock(impl_->mutex);
    for (auto &s : impl_->sessions) s->offer(key + 1, sample.time_ns, payload, latest);
  });
}

void Server::summary() const {
  for (const Channel &c : impl_->channels) {
    auto &t = impl_->tally[c.id];
    if (t.sent || t.dropped)
      std::printf("tarsa-bridge: %s: %llu messages sent to clients, %llu dropped\n",
                  c.topic.c_str(), static_cast<unsigned long long>(t.sent.load()),
                  static_cast<unsigned long long>(t.dropped.load()));
  }
  std::fflush(stdout);
}

void Server::count(DiagnosticsSample &d) const {
  std::lock_guard lock(impl_->mutex);
  d.clients = int(impl_->sessions.size());
  d.dropped = impl_->dropped;
  d.queued_bytes = 0;
  for (auto &s : impl_->sessions) d.queued_bytes += s->queued();
}

}  // namespace bridge
