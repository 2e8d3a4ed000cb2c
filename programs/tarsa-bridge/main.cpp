// tarsa-bridge: the robot in Foxglove and in a browser. Streams the robot's sensors over the
// Foxglove WebSocket protocol, takes drive commands from allowed clients, records runs as MCAP
// and serves its own console page, all on one port.
//
// The core (robot.h) owns the robot and produces samples; front-ends (samples.h: FrontEnd)
// consume them and drive through the core's DriveInput. A new front-end is one file and one
// attach() here.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "channels.h"
#include "options.h"
#include "recorder.h"
#include "robot.h"
#include "server.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_tarsa4.h"

extern const unsigned char kPageHtml[];
extern const std::size_t kPageHtmlSize;

namespace {

volatile sig_atomic_t gQuit = 0;

// Signals only set a flag; the loop stops the wheels itself. The threads started until
// unblock() have the signals blocked, so that they always reach the loop's thread.
sigset_t catch_stop_signals() {
  struct sigaction sa {};
  sa.sa_handler = [](int sig) { gQuit = sig; };
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t stops, old;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, &old);
  return old;
}

std::unique_ptr<bridge::Recorder> start_recording(const std::string &path,
                                                  const std::vector<bridge::Channel> &channels) {
  auto recorder = std::make_unique<bridge::Recorder>();
  if (int r = recorder->start(path, channels); r < 0) {
    std::fprintf(stderr, "tarsa-bridge: cannot record to %s: %s\n", path.c_str(),
                 std::strerror(-r));
    return nullptr;
  }
  return recorder;
}

// Closes the recording: the exit status it leaves.
int finish_recording(bridge::Recorder &recorder, const std::string &path) {
  if (int r = recorder.stop(); r < 0) {
    std::fprintf(stderr, "tarsa-bridge: recording to %s failed: %s\n", path.c_str(),
                 std::strerror(-r));
    return 1;
  }
  std::printf("tarsa-bridge: recorded %llu messages to %s (%llu dropped)\n",
              static_cast<unsigned long long>(recorder.recorded()), path.c_str(),
              static_cast<unsigned long long>(recorder.dropped()));
  return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
  bridge::Options opt;
  std::vector<char *> lib_args;
  if (int r = bridge::parse_command_line(argc, argv, opt, lib_args); r >= 0) return r;
  vx_set_debug_level(2);
  // The robot driver's start-up starts the library with the library's own options.
  if (tr4_init(int(lib_args.size()) - 1, lib_args.data()) < 0) return 1;
  if (int r = bridge::read_configuration(opt); r >= 0) return r;

  bridge::Robot robot(opt.robot);
  if (!robot.open()) return 1;
  const sigset_t unblocked = catch_stop_signals();
  robot.open_sensors();
  const std::vector<bridge::Channel> channels = bridge::channels(robot.sensors());

  bridge::Server server(opt.server, channels, robot.drive_input(),
                        {reinterpret_cast<const char *>(kPageHtml), kPageHtmlSize});
  std::string error;
  const int port = server.start(&error);
  if (port < 0) {
    std::fprintf(stderr, "tarsa-bridge: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<bridge::Recorder> recorder;
  if (!opt.record.empty() && !(recorder = start_recording(opt.record, channels))) return 1;
  // The ROS 2 front-end's DDS threads start with the stop signals still blocked.
  bool ros2_failed = false;
  auto ros2 = bridge::attach_ros2(opt.ros2, robot, &ros2_failed);
  if (ros2_failed) return 1;
  pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);

  std::printf("tarsa-bridge: serving on port %d (console: http://%s:%d/)\n", port,
              opt.server.bind == "0.0.0.0" ? "localhost" : opt.server.bind.c_str(), port);
  if (recorder) std::printf("tarsa-bridge: recording to %s\n", opt.record.c_str());
  robot.announce();

  robot.attach(server);
  if (recorder) robot.attach(*recorder);
  robot.run(gQuit);
  std::printf("tarsa-bridge: %s, wheels stopped\n", gQuit == SIGINT ? "interrupted" : "terminated");
  std::fflush(stdout);
  robot.close();
  server.stop();
  const int status = recorder ? finish_recording(*recorder, opt.record) : 0;
  robot.summary();
  return status;
}
