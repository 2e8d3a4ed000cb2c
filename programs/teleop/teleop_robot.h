// Robot side of teleop: opening the robot, sensor getters, the velocity control and the stop on
// every signal that ends the program.
#pragma once

#include <csignal>
#include <cstdint>

#include "tarsa/lyn.h"

extern lyn_dev_t dsPic;
extern volatile sig_atomic_t quitReq;

// Opens the robot's microcontroller `name` and checks that it answers (a read of its firmware
// revision, which moves nothing). Without it, prints one line on standard error naming the
// device, its bus and address and what failed, and returns null.
lyn_dev_t teleop_open_robot(const char *name);

void getAcc(unsigned char *raw, double *x, double *y, double *z);
void getGyro(unsigned char *raw, double *x, double *y, double *z);
void getUS(unsigned char *raw, std::int16_t *us);
void getIR(unsigned char *raw, int *ir);
void getEC(int *left, int *right);
void getSPD(int *left, int *right);
void Ang_Vel_Control(double W, double V);

// Handler of every signal that ends the program. A signal must never run bus transfers on top of
// one it interrupted, so the stop sequence runs in the handler only while the program waits
// between ticks; otherwise it runs at the next checkpoint, right after the interrupted transfer
// or wait returns.
void ctrlc_handler(int sig);
// Installs ctrlc_handler for every signal whose default action ends the process (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT and the others), the program's own faults apart.
void install_stop_handler();
// Marks the stretch where the handler may stop the robot itself (waiting between ticks).
void idle_begin();
void idle_end();
// Runs the stop sequence now if a signal asked for it.
void teleop_checkpoint();
// The library's stop routine (tr4_stop): wheels 0, mode 0, LEDs off, each sent again (a bounded
// number of times) while the robot refuses it. 0 when the robot took all three; otherwise says
// so on standard error and returns 1.
int teleop_stop_robot();
// The stop sequence, terminal restored, exit with its status (0 for a clean stop).
[[noreturn]] void teleop_stop_and_exit();
