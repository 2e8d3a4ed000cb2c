// gazercal: calibrates the StarGazer by turning the robot once on the spot, prints the fitted
// ellipse and its residuals, and on request compares positions read with and without correction.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "program_usage.h"
#include "tarsa/lyn.h"
#include "tarsa/tr4_claim.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_init.h"
#include "tarsa/vx_stargazer.h"
#include "tarsa/vx_tarsa4.h"

namespace {

// Exit statuses.
constexpr int kCalibrated = 0;
constexpr int kBadUsage = 1;  // also: the library did not start, or the robot is in use
constexpr int kNoRobot = 2;
constexpr int kNoSensor = 3;
constexpr int kFailed = 4;
constexpr int kPoorFit = 5;

constexpr int kMaxCheckS = 600;
constexpr useconds_t kCheckPeriodUs = 100000;

lyn_dev_t robot = nullptr;

// An interrupted turn must not leave the robot turning. The library call that turns it spends
// its time sleeping and reading the sensor's line, so the stop is sent from here.
void stop_and_exit(int sig) {
  if (robot != nullptr) {
    tr4_set_speed(0, 0, robot);
    tr4_SetMode(0, robot);
  }
  _exit(128 + sig);
}

void install_stop() {
  struct sigaction sa {};
  sa.sa_handler = stop_and_exit;
  sigfillset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

struct Options {
  int check_s = 0;
  std::string error;
  std::vector<char *> library_args;  // everything else, for the library
};

Options parse(int argc, char *argv[]) {
  Options o;
  for (int i = 0; i < argc; ++i) {
    const char *a = argv[i];
    const char *value = nullptr;
    if (i > 0 && (std::strcmp(a, "--check") == 0 || std::strcmp(a, "-c") == 0)) {
      if (i + 1 >= argc) {
        o.error = std::string(a) + " needs a number of seconds";
        return o;
      }
      value = argv[++i];
    } else if (i > 0 && std::strncmp(a, "--check=", 8) == 0) {
      value = a + 8;
    } else {
      o.library_args.push_back(argv[i]);
      continue;
    }
    char *end = nullptr;
    const long s = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || s < 1 || s > kMaxCheckS) {
      o.error = std::string("--check takes 1 to 600 seconds, not \"") + value + "\"";
      return o;
    }
    o.check_s = static_cast<int>(s);
  }
  o.library_args.push_back(nullptr);
  return o;
}

// Why the first reading `r` (as vx_stargazer_read_data() gives it) brought no position; nullptr
// for a report of the sensor's (an update, or a map identifier, which can be any number).
const char *first_reading(int r) {
  switch (r) {
    case -1:
      return "the port is not open";
    case -3:
      return "the sensor's line overflowed (2048 bytes or more waiting, and again after a flush)";
    case -5:
      return "the sensor sent a position record with fields missing";
    case -6:
      return "the sensor sees no landmark";
    case -7:
      return "the sensor sent something that is not a position record";
    case -8:
      return "no position record arrived";
    case -9:
      return "the sensor sent a map identifier report without a number";
    default:
      return nullptr;
  }
}

// Reads positions for `seconds`, alternately raw and corrected, and prints both with their means.
void check(int seconds) {
  std::printf("\nPositions for %d s, alternately without and with correction:\n", seconds);
  double sum[2][2] = {}, x = 0, y = 0, height = 0, angle = 0;
  int count[2] = {}, id = 0;
  char mode = ' ';
  for (int i = 0; i < seconds * 10; ++i) {
    const int corrected = i % 2;
    const int r = vx_stargazer_read_data(&x, &y, &height, &angle, &id, &mode, corrected);
    if (r == 0) {
      std::printf("  %-9s x= %+7.1f  y= %+7.1f  angle= %+6.1f\n", corrected ? "corrected" : "raw",
                  x, y, angle);
      sum[corrected][0] += x;
      sum[corrected][1] += y;
      ++count[corrected];
    } else if (r == -6) {
      std::printf("  no landmark in view\n");
    }
    std::fflush(stdout);
    usleep(kCheckPeriodUs);
  }
  for (int c = 0; c < 2; ++c) {
    if (count[c] == 0) {
      std::printf("mean %-9s: no position read\n", c ? "corrected" : "raw");
      continue;
    }
    std::printf("mean %-9s: x= %+7.1f  y= %+7.1f  (%d readings)\n", c ? "corrected" : "raw",
                sum[c][0] / count[c], sum[c][1] / count[c], count[c]);
  }
}

// Prints the fit (when there is one) and the result line of calibration result `rc`, `first`
// being the first reading's own result; returns the program's status.
int report(int rc, int first, double x0, double y0, double angle, double a, double b, double rms_x,
           double rms_y) {
  const bool fitted = rc == VX_GAZER_CAL_DONE || rc == VX_GAZER_CAL_POOR_FIT;
  if (fitted) {
    std::printf("\ncentre       x0 = %8.2f   y0 = %8.2f\n", x0, y0);
    std::printf("semi-axes    a  = %8.2f   b  = %8.2f\n", a, b);
    std::printf("orientation     = %8.2f deg\n", angle);
    std::printf("residuals    x  = %8.2f   y  = %8.2f   (limit 5.00)\n", rms_x, rms_y);
  }
  int status = kFailed;
  if (rc == VX_GAZER_CAL_DONE) {
    std::printf("result: 0, calibrated\n");
    status = kCalibrated;
  } else if (rc == VX_GAZER_CAL_POOR_FIT) {
    std::printf("result: -4, the fit is poor; its parameters are in force all the same\n");
    status = kPoorFit;
  } else if (rc == VX_GAZER_CAL_NO_TURN) {
    std::printf("\nresult: -1, the robot did not come back to its start heading within 60 s\n");
  } else if (rc == VX_GAZER_CAL_FIT_FAILED) {
    std::printf("result: -3, no ellipse fits the positions (did the robot turn?)\n");
  } else if (const char *why = first_reading(first); why != nullptr) {
    // Numbered as vx_gazer_calibration() numbers it: the reading's result less 4.
    std::printf("result: %d, %s\n", first - 4, why);
  } else {
    // That numbering would make a report read like another result: it has its own.
    std::printf("result: -2, the sensor sent a report (%d) instead of a position\n", first);
  }
  return status;
}

}  // namespace

int main(int argc, char *argv[]) {
  // --help and an option nobody knows end here, before anything else runs.
  static const option kLongOptions[] = {{"check", required_argument, nullptr, 'c'},
                                        {nullptr, 0, nullptr, 0}};
  if (int r = vx_check_options(argc, argv, program_usage, "c:", kLongOptions); r != VX_OPTIONS_OK)
    return r == 0 ? kCalibrated : kBadUsage;
  vx_set_debug_level(2);
  Options opt = parse(argc, argv);
  if (!opt.error.empty()) {
    std::fprintf(stderr, "gazercal: %s\n%s", opt.error.c_str(), program_usage);
    return kBadUsage;
  }
  // The robot is ours alone before anything of it is touched: a second driver ends here.
  if (tr4_claim_or_say("gazercal") != TR4_CLAIM_TAKEN) return kBadUsage;
  if (tr4_init(static_cast<int>(opt.library_args.size()) - 1, opt.library_args.data()) < 0) {
    std::fprintf(stderr, "gazercal: the library could not start\n");
    return kBadUsage;
  }
  robot = lyn_open("Tarsa4:dsPic", LYN_BUS_I2C, 0, nullptr);
  if (robot == nullptr) {
    std::fprintf(stderr, "gazercal: cannot open the robot base (Tarsa4:dsPic)\n");
    return kNoRobot;
  }
  install_stop();

  std::printf("Starting the StarGazer; please wait.\n");
  std::fflush(stdout);
  if (const int e = vx_stargazer_Init(); e != 0) {
    std::fprintf(stderr, "gazercal: the StarGazer on /dev/ttyO0 %s (error %d)\n",
                 e == -2 ? "cannot be opened" : "does not answer", e);
    vx_stargazer_Close();
    return kNoSensor;
  }
  if (const int e = vx_gazer_start_computation(); e != 0) {
    std::fprintf(stderr, "gazercal: the StarGazer does not start its computation (error %d)\n", e);
    vx_stargazer_Close();
    return kNoSensor;
  }

  std::printf("Turning the robot once on the spot; keep it clear.\n");
  std::fflush(stdout);
  double x0 = 0, y0 = 0, angle = 0, a = 0, b = 0, rms_x = 0, rms_y = 0;
  int first = 0;
  const int rc = vx_gazer_calibrate(robot, &x0, &y0, &angle, &a, &b, &rms_x, &rms_y, &first);
  const bool fitted = rc == VX_GAZER_CAL_DONE || rc == VX_GAZER_CAL_POOR_FIT;
  const int status = report(rc, first, x0, y0, angle, a, b, rms_x, rms_y);
  std::fflush(stdout);
  if (opt.check_s > 0 && fitted) check(opt.check_s);
  vx_stargazer_Close();
  return status;
}
