// teleop: streams the robot's sensors to the remote host at 20 Hz and drives the wheels from the
// angular and linear velocity commands that come back.
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "program_usage.h"
#include "tarsa/lyn.h"
#include "tarsa/tr4_claim.h"
#include "tarsa/tr4_model.h"
#include "tarsa/vx_config.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_init.h"
#include "tarsa/vx_tarsa4.h"
#include "tarsa/vx_utils.h"
#include "teleop_ctl.h"
#include "teleop_net.h"
#include "teleop_robot.h"

namespace {

// The safety field's reach, metres; 0: off.
double gSafetyDistance = 0;

bool load_settings() {
  if (const char *v = vx_config_get("teleop.udp_host")) gPeers.udp_host = v;
  if (const char *v = vx_config_get("teleop.tcp_host")) gPeers.tcp_host = v;
  if (const char *v = vx_config_get("teleop.accept_any"))
    gPeers.accept_any = std::strcmp(v, "true") == 0;
  if (const char *v = vx_config_get("teleop.port"); v && !parse_port(v, &gPeers.port)) {
    std::fprintf(stderr, "teleop: teleop.port: not a port number (1 to 65535): %s\n", v);
    return false;
  }
  if (const char *v = vx_config_get("teleop.safety_distance_m")) {
    char *end = nullptr;
    const double d = std::strtod(v, &end);
    if (end == v || *end || !std::isfinite(d) || d < 0) {
      std::fprintf(stderr, "teleop: teleop.safety_distance_m: not a distance (m, 0 or more): %s\n",
                   v);
      return false;
    }
    gSafetyDistance = d;
  }
  return true;
}

// The loop's clock. Monotonic: a board without a battery-backed clock steps its wall clock when
// it first reaches a time server, and the schedule must neither stall nor race through the step.
timeval clock_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return timeval{ts.tv_sec, suseconds_t(ts.tv_nsec / 1000)};
}

// Waits for the next tick that can still run on time and returns its elapsed time (seconds).
// Sleeps until shortly before the tick's window opens, then watches the clock for the rest.
double wait_for_tick(TickSchedule &schedule, const timeval &start) {
  idle_begin();
  for (;;) {
    timeval now = clock_now();
    std::int64_t elapsed = timeval_diff(nullptr, &now, &start);
    if (schedule.ready(elapsed)) {
      idle_end();
      return elapsed / 1e6;
    }
    std::int64_t idle = schedule.until_window(elapsed);
    if (idle > 1000) usleep(useconds_t(std::min<std::int64_t>(idle - 500, 50000)));
  }
}

}  // namespace

int main(int argc, char *argv[]) {
  // The command line is checked before anything else: --help and a bad option end here.
  if (int r = vx_check_options(argc, argv, program_usage, nullptr, nullptr); r != VX_OPTIONS_OK)
    return r;
  vx_set_debug_level(2);
  // The robot is ours alone before anything of it is touched: a second driver ends here.
  if (tr4_claim_or_say("teleop") != TR4_CLAIM_TAKEN) return 1;
  // Through the robot driver's start-up: it starts the library with our arguments and also
  // drives the microcontroller's reset line high, without which the robot may not answer.
  if (tr4_init(argc, argv) < 0) return 1;
  if (!load_settings()) return 1;
  // Without its robot the program would stream made-up readings and drive nothing.
  dsPic = teleop_open_robot("Tarsa4:dsPic");
  if (!dsPic) return 1;
  install_stop_handler();
  vx_change_term_mode(1);
  // Speed profile, mode 2 (wheel speed commands), encoders zeroed.
  tr4_drive_start(dsPic);
  teleop_checkpoint();

  int sock = -1;
  sockaddr_in servaddr{};
  UDP_Client(&sock, &servaddr);
  const timeval start = clock_now();

  // Sensor buffers keep the last good reading when a read fails.
  unsigned char accRaw[100] = {}, gyroRaw[100] = {}, usRaw[TR4_US_BYTES] = {},
                irRaw[TR4_IR_BYTES] = {};
  double ax = 0, ay = 0, az = 0, gx = 0, gy = 0, gz = 0;
  int posL = 0, posR = 0, spdL = 0, spdR = 0;
  std::int16_t us[TR4_US_COUNT] = {};
  int ir[TR4_IR_COUNT] = {};
  double W = 0.0, V = 0.0;
  TickSchedule schedule;
  // Forward motion held back near an obstacle that the front ultrasonic sensor sees.
  tr4_safety_t safety;
  tr4_safety_init(&safety, gSafetyDistance);
  double usRange[TR4_US_COUNT];

  while (!quitReq) {
    double elapsed = wait_for_tick(schedule, start);
    getAcc(accRaw, &ax, &ay, &az);
    getGyro(gyroRaw, &gx, &gy, &gz);
    getEC(&posL, &posR);
    getSPD(&spdL, &spdR);
    getUS(usRaw, us);
    getIR(irRaw, ir);
    UDPsendSensor(sock, servaddr, elapsed, ax, ay, az, gx, gy, gz, posL, posR, spdL, spdR, us, ir);
    UDPrecvParseFromServer(sock, servaddr, &W, &V);
    teleop_checkpoint();
    tr4_decode_us(usRaw, usRange);
    tr4_safety_see(&safety, TR4_SAFETY_US, usRange[2]);
    const bool held = safety.holding;
    const double allowed = tr4_safety_linear(&safety, V);
    if (safety.holding && !held)
      std::printf("teleop: obstacle within %g m ahead, forward motion held back\n",
                  gSafetyDistance);
    Ang_Vel_Control(W, allowed);
    schedule.ran();
  }

  close(sock);
  teleop_stop_and_exit();
}
