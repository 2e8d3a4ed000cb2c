// The bridge's network side: one port serving the browser console over HTTP and the Foxglove
// WebSocket protocol, on a thread of its own. The robot loop hands it messages and never waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "drive.h"
#include "protocol.h"

namespace bridge {

struct ServerOptions {
  std::string bind = "0.0.0.0";
  std::uint16_t port = 8765;            // 0: any free port
  std::vector<std::string> drive_from;  // addresses whose clients may publish drive commands
  std::size_t max_clients = 16;
  std::size_t queue_bytes = 512 * 1024;  // each client's send queue
  std::size_t queue_count = 256;
};

class Server {
 public:
  Server(ServerOptions options, std::vector<Channel> channels, DriveControl &drive,
         std::string_view page);
  ~Server();

  // Listens and starts the network thread. The port listened on, or -1 with `error` set.
  int start(std::string *error);
  void stop();

  // Queues a message of channel `channel_id` for every client subscribed to it. Frames (camera
  // images) are the first to go for a client that cannot keep up.
  void publish(std::uint32_t channel_id, std::uint64_t time_ns,
               const std::shared_ptr<const std::string> &payload, bool frame = false);

  int clients() const;
  std::uint64_t dropped() const;
  // Bytes waiting in the clients' send queues.
  std::size_t queued_bytes() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace bridge
