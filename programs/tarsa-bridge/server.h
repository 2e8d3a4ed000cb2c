// The Foxglove front-end: one port serving the browser console over HTTP and the Foxglove
// WebSocket protocol, on a thread of its own. Samples are encoded as JSON (channels.h) where
// they are published and queued per client; whoever publishes never waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "samples.h"

namespace bridge {

struct ServerOptions {
  std::string bind = "0.0.0.0";
  std::uint16_t port = 8765;            // 0: any free port
  std::vector<std::string> drive_from;  // addresses whose clients may publish drive commands
  std::size_t max_clients = 16;
  std::size_t queue_bytes = 512 * 1024;  // each client's send queues together
  std::size_t channel_queue = 32;        // messages of one channel waiting for one client
};

// A service's answer: the response (JSON) when `ok`, else why the call failed.
struct ServiceResult {
  bool ok = false;
  std::string text;
};

struct Service {
  ServiceInfo info;
  std::function<ServiceResult(std::string_view request)> call;  // on the network thread
};

// How the server reaches the live settings and the services, without knowing whose they are.
struct Controls {
  std::function<std::vector<ParameterValue>()> parameters;  // every one, current values
  // Sets one parameter: "" when taken, else why not (the value in force stays).
  std::function<std::string(const ParameterValue &value)> set;
  std::vector<Service> services;
};

class Server : public FrontEnd {
 public:
  // Serves `channels`; the drive commands of allowed clients go to `drive`, parameter and
  // service requests to `controls` (none: neither capability is offered).
  Server(ServerOptions options, std::vector<Channel> channels, DriveInput drive,
         std::string_view page, Controls controls = {});
  ~Server() override;

  // Listens and starts the network thread. The port listened on, or -1 with `error` set.
  int start(std::string *error);
  void stop();

  // Queues the sample's messages for every client subscribed to their channels, in a queue per
  // client and channel; a client that cannot keep up loses its oldest messages, or for the
  // camera and the scan, all but the newest. Odometry also extends the path kept for the page.
  void publish(const Sample &sample) override;
  // One line a channel that had clients: messages sent, and dropped for slow clients.
  void summary() const;
  // Clients, messages dropped for them, bytes waiting for them.
  void count(DiagnosticsSample &d) const override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace bridge
