// Robot side of teleop: opening the robot, sensor getters, velocity control and the signal-safe
// stop sequence.
#include "teleop_robot.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tarsa/tr4_model.h"
#include "tarsa/vx_config.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_tarsa4.h"
#include "tarsa/vx_utils.h"
#include "teleop_ctl.h"

lyn_dev_t dsPic = nullptr;
volatile sig_atomic_t quitReq = 0;

namespace {

// 0 while the main thread waits between ticks; set everywhere else (start-up included).
volatile sig_atomic_t gBusy = 1;
volatile sig_atomic_t gStopPending = 0;

// Every robot call of the program goes through here so that a deferred stop runs as soon as the
// transfer it waited for has returned.
template <class F>
int robot(F call) {
  int r = call();
  teleop_checkpoint();
  return r;
}

// Reads a sensor block into raw only when the read succeeded, so that a failed read keeps the
// last good reading instead of a half-written one.
template <std::size_t N, class F>
void read_block(unsigned char *raw, F measure) {
  unsigned char fresh[N] = {};
  if (robot([&] { return measure(fresh); }) == 0) std::memcpy(raw, fresh, N);
}

// Signals whose default action ends the process, the program's own faults apart; the real-time
// ones are added at run time.
constexpr int kStopSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGUSR1,
                                SIGUSR2, SIGPIPE, SIGALRM, SIGVTALRM, SIGPROF,
                                SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR,    SIGSTKFLT};

// The first library report while the robot is being opened: the reason in the one message.
char gOpenReport[256];

void keep_first_report(const char *, unsigned, const char *, int code, va_list args) {
  if (gOpenReport[0]) return;
  if (code >= 0 && code < VX_ERRMSG_COUNT && vx_errmsg[code])
    std::vsnprintf(gOpenReport, sizeof gOpenReport, vx_errmsg[code], args);
  else
    std::snprintf(gOpenReport, sizeof gOpenReport, "error %d", code);
}

// Where the configuration puts the device: "I2C bus, address 0x1F".
std::string where(const char *name) {
  const auto *info = static_cast<const vx_device_info_t *>(vx_lookup_device(name));
  if (!info) return "I2C bus, not in the configuration";
  if (info->bus == LYN_BUS_SERIAL)
    return std::string("serial bus, ") + (info->path ? info->path : "no path");
  char text[48];
  std::snprintf(text, sizeof text, "I2C bus, address 0x%02X", unsigned(info->address));
  return text;
}

}  // namespace

lyn_dev_t teleop_open_robot(const char *name) {
  gOpenReport[0] = '\0';
  vx_set_error_handler(keep_first_report);
  lyn_dev_t dev = lyn_open(name, LYN_BUS_I2C, 0, nullptr);
  unsigned char revision = 0;
  const bool answers = dev && tr4_revision(&revision, dev) == 0;
  vx_set_error_handler(nullptr);
  if (answers) return dev;
  std::fprintf(stderr, "teleop: no robot: \"%s\" (%s) %s: %s\n", name, where(name).c_str(),
               dev ? "does not answer" : "cannot be opened",
               gOpenReport[0] ? gOpenReport : "no reason given");
  return nullptr;
}

void getAcc(unsigned char *raw, double *x, double *y, double *z) {
  read_block<TR4_ACC_BYTES>(raw, [](unsigned char *b) { return tr4_measure_acc(b, dsPic); });
  tr4_vector3_t g;
  tr4_decode_acc(raw, &g);
  *x = g.x, *y = g.y, *z = g.z;
}

void getGyro(unsigned char *raw, double *x, double *y, double *z) {
  read_block<TR4_GYRO_BYTES>(raw, [](unsigned char *b) { return tr4_measure_gyro(b, dsPic); });
  tr4_vector3_t rate;
  tr4_decode_gyro(raw, &rate);
  *x = rate.x, *y = rate.y, *z = rate.z;
}

void getUS(unsigned char *raw, std::int16_t *us) {
  read_block<TR4_US_BYTES>(raw, [](unsigned char *b) { return tr4_measure_us(b, dsPic); });
  decode_us(raw, us);
}

void getIR(unsigned char *raw, int *ir) {
  read_block<TR4_IR_BYTES>(raw, [](unsigned char *b) { return tr4_proximity_ir(b, dsPic); });
  tr4_decode_ir(raw, ir);
}

void getEC(int *left, int *right) {
  int l = 0, r = 0;
  if (robot([&] { return tr4_get_position(&l, &r, dsPic); }) == 0) *left = l, *right = r;
}

void getSPD(int *left, int *right) {
  int l = 0, r = 0;
  if (robot([&] { return tr4_get_speed(&l, &r, dsPic); }) == 0) *left = l, *right = r;
}

void Ang_Vel_Control(double W, double V) {
  std::printf("Ang Vel: %lf, Lin Vel: %lf\n", W, V);
  // W turns clockwise, the library's angular velocity counter-clockwise.
  tr4_wheel_speeds_t s = tr4_wheel_speeds(V, -W);
  std::printf("dfgdfg: %lf, sdfsdf: %lf\n", double(s.left), double(s.right));
  robot([&] { return tr4_set_speed(s.left, s.right, dsPic); });
}

int teleop_stop_robot() {
  // A program that never opened a robot has none to stop.
  if (!dsPic) return 0;
  if (tr4_stop(dsPic) == 0) return 0;
  // write(2): this may run inside a signal handler.
  static const char kRefused[] =
      "teleop: the robot does not answer: the stop (wheels 0, mode 0, LEDs off) was sent 5 times "
      "and not taken; its wheels may still turn\n";
  static_assert(TR4_STOP_ATTEMPTS == 5, "the message names the number of attempts");
  ssize_t ignored = write(STDERR_FILENO, kRefused, sizeof kRefused - 1);
  (void)ignored;
  return 1;
}

void teleop_stop_and_exit() {
  // Nothing may interrupt the stop sequence itself.
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, nullptr);
  quitReq = 1;
  int status = teleop_stop_robot();
  vx_change_term_mode(0);
  std::exit(status);
}

void ctrlc_handler(int) {
  quitReq = 1;
  if (gBusy) {
    gStopPending = 1;
    return;
  }
  teleop_stop_and_exit();
}

void install_stop_handler() {
  struct sigaction sa {};
  sa.sa_handler = ctrlc_handler;
  // A second signal waits until the first one's handler has returned or stopped the robot.
  sigfillset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : kStopSignals) sigaction(sig, &sa, nullptr);
  // Some real-time signals may be taken by the C library or an emulator: those refuse, harmlessly.
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaction(sig, &sa, nullptr);
}

void teleop_checkpoint() {
  if (gStopPending) teleop_stop_and_exit();
}

void idle_begin() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  gBusy = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  teleop_checkpoint();
}

void idle_end() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  gBusy = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}
