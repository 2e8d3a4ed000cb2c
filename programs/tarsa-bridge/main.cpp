// tarsa-bridge: the robot in Foxglove and in a browser. Streams the robot's sensors over the
// Foxglove WebSocket protocol, takes drive commands from allowed clients, records runs as MCAP
// and serves its own console page, all on one port.
//
// The core (robot.h) owns the robot and produces samples; front-ends (samples.h: FrontEnd)
// consume them and drive through the core's DriveInput. A new front-end is one file and one
// attach() here.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "channels.h"
#include "controls.h"
#include "options.h"
#include "record_metadata.h"
#include "recorder.h"
#include "robot.h"
#include "server.h"
#include "tarsa/tr4_claim.h"
#include "tarsa/vx_config.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_tarsa4.h"

extern const unsigned char kPageHtml[];
extern const std::size_t kPageHtmlSize;

namespace {

volatile sig_atomic_t gQuit = 0;

// Every signal that would end the program by default, but SIGPIPE (a network server's must be
// ignored) and the ones that dump core or cannot be caught.
sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM})
    sigaddset(&set, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
  return set;
}

// Signals only set a flag; the loop's thread stops the wheels itself. They stay blocked until
// the loop runs, so that every thread started meanwhile inherits them blocked and they always
// reach the loop's thread; one that came before is held and delivered then. A second signal
// waits until its handler has returned.
sigset_t catch_stop_signals() {
  struct sigaction sa {};
  sa.sa_handler = [](int sig) {
    if (!gQuit) gQuit = sig;
  };
  sigfillset(&sa.sa_mask);
  const sigset_t stops = stop_signals();
  for (int sig = 1; sig <= SIGRTMAX; ++sig)
    // Some real-time signals may be taken by the C library or an emulator: those refuse.
    if (sigismember(&stops, sig) == 1) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // A recording past the file-size limit fails with EFBIG, as on a full disk, instead of ending
  // the program with the wheels turning.
  signal(SIGXFSZ, SIG_IGN);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &stops, &old);
  return old;
}

const char *ending(int sig) {
  switch (sig) {
    case SIGINT:
      return "interrupted";
    case SIGTERM:
      return "terminated";
    default:
      return strsignal(sig);
  }
}

// Starts the server: its port, or -1 after saying why.
int start_serving(bridge::Server &server) {
  std::string error;
  const int port = server.start(&error);
  if (port < 0) std::fprintf(stderr, "tarsa-bridge: %s\n", error.c_str());
  return port;
}

// The line that says how the loop ended: the wheels stopped, or a robot that did not take it.
void report_stop(bool stopped) {
  if (stopped) {
    std::printf("tarsa-bridge: %s, wheels stopped\n", ending(gQuit));
  } else {
    static_assert(TR4_STOP_ATTEMPTS == 5, "the message names the number of attempts");
    std::fprintf(stderr,
                 "tarsa-bridge: the robot does not answer: the stop (wheels 0, mode 0, LEDs off) "
                 "was sent 5 times and not taken; its wheels may still turn\n");
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char *argv[]) {
  bridge::Options opt;
  std::vector<char *> lib_args;
  if (int r = bridge::parse_command_line(argc, argv, opt, lib_args); r >= 0) return r;
  vx_set_debug_level(2);
  // The settings are checked before anything of the robot is touched.
  if (vx_config_init(0, nullptr) < 0) return 1;
  if (int r = bridge::read_configuration(opt); r >= 0) return r;
  // The robot is ours alone before anything of it is touched: a second bridge ends here.
  if (tr4_claim_or_say("tarsa-bridge") != TR4_CLAIM_TAKEN) return 1;
  const sigset_t unblocked = catch_stop_signals();
  // The robot driver's start-up starts the library with the library's own options.
  if (tr4_init(int(lib_args.size()) - 1, lib_args.data()) < 0) return 1;

  bridge::Robot robot(opt.robot);
  if (!robot.open()) return 1;
  robot.open_sensors();
  const std::vector<bridge::Channel> channels = bridge::channels(robot.sensors());

  // Recordings start with --record, or when a client asks for one.
  bridge::RecordingSwitch recording(channels, opt.record_compression,
                                    bridge::recording_metadata(opt, robot.sensors()));
  bridge::Server server(opt.server, channels, robot.drive_input(),
                        {reinterpret_cast<const char *>(kPageHtml), kPageHtmlSize},
                        bridge::make_controls(robot, opt, recording));
  const int port = start_serving(server);
  if (port < 0) return 1;
  if (!opt.record.empty()) {
    if (int r = recording.start(opt.record); r < 0) {
      std::fprintf(stderr, "tarsa-bridge: cannot record to %s: %s\n", opt.record.c_str(),
                   std::strerror(-r));
      return 1;
    }
  }
  // The ROS 2 front-end's DDS threads start with the stop signals still blocked.
  bool ros2_failed = false;
  auto ros2 = bridge::attach_ros2(opt.ros2, robot, &ros2_failed);
  if (ros2_failed) return 1;

  std::printf("tarsa-bridge: serving on port %d (console: http://%s:%d/)\n", port,
              opt.server.bind == "0.0.0.0" ? "localhost" : opt.server.bind.c_str(), port);
  if (!opt.record.empty()) std::printf("tarsa-bridge: recording to %s\n", opt.record.c_str());
  robot.announce();

  robot.attach(server);
  robot.attach(recording);
  // Signals reach the loop from here on; it ends on the first one and stops the wheels with
  // every signal blocked, so that a second one is held until the stop has run.
  const bool stopped = robot.run(gQuit, unblocked);
  report_stop(stopped);
  robot.close();
  server.stop();
  const int recorded = recording.finish();
  robot.summary();
  server.summary();
  // 128 + the signal's number, as a shell reports a program the signal ended; 1 when the stop
  // was not taken or the recording failed.
  return !stopped || recorded != 0 ? 1 : 128 + gQuit;
}
