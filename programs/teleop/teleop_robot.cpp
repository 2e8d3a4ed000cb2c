// Robot side of teleop: sensor getters, velocity control and the signal-safe stop sequence.
#include "teleop_robot.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

}  // namespace

void getAcc(unsigned char *raw, double *x, double *y, double *z) {
  read_block<60>(raw, [](unsigned char *b) { return tr4_measure_acc(b, dsPic); });
  decode_acc(raw, x, y, z);
}

void getGyro(unsigned char *raw, double *x, double *y, double *z) {
  read_block<60>(raw, [](unsigned char *b) { return tr4_measure_gyro(b, dsPic); });
  decode_gyro(raw, x, y, z);
}

void getUS(unsigned char *raw, std::int16_t *us) {
  read_block<10>(raw, [](unsigned char *b) { return tr4_measure_us(b, dsPic); });
  decode_us(raw, us);
}

void getIR(unsigned char *raw, int *ir) {
  read_block<24>(raw, [](unsigned char *b) { return tr4_proximity_ir(b, dsPic); });
  decode_ir(raw, ir);
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
  WheelSpeeds s = wheel_speeds(W, V);
  std::printf("dfgdfg: %lf, sdfsdf: %lf\n", double(s.left), double(s.right));
  robot([&] { return tr4_set_speed(s.left, s.right, dsPic); });
}

void teleop_stop_and_exit() {
  // Nothing may interrupt the stop sequence itself.
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, nullptr);
  quitReq = 1;
  tr4_set_speed(0, 0, dsPic);
  tr4_SetMode(0, dsPic);
  tr4_SetRGBLeds(0, 0, 0, 0, 0, 0, 0, 0, 0, dsPic);
  vx_change_term_mode(0);
  std::exit(0);
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
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, SIGINT);
  sigaddset(&sa.sa_mask, SIGTERM);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
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
