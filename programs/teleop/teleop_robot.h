// Robot side of teleop: sensor getters, the velocity control and the stop on SIGINT/SIGTERM.
#pragma once

#include <csignal>
#include <cstdint>

#include "tarsa/lyn.h"

extern lyn_dev_t dsPic;
extern volatile sig_atomic_t quitReq;

void getAcc(unsigned char *raw, double *x, double *y, double *z);
void getGyro(unsigned char *raw, double *x, double *y, double *z);
void getUS(unsigned char *raw, std::int16_t *us);
void getIR(unsigned char *raw, int *ir);
void getEC(int *left, int *right);
void getSPD(int *left, int *right);
void Ang_Vel_Control(double W, double V);

// SIGINT/SIGTERM handler. A signal must never run bus transfers on top of one it interrupted, so
// the stop sequence runs in the handler only while the program waits between ticks; otherwise
// it runs at the next checkpoint, right after the interrupted transfer or wait returns.
void ctrlc_handler(int sig);
// Installs ctrlc_handler for SIGINT and SIGTERM.
void install_stop_handler();
// Marks the stretch where the handler may stop the robot itself (waiting between ticks).
void idle_begin();
void idle_end();
// Runs the stop sequence now if a signal asked for it.
void teleop_checkpoint();
// Wheels 0, mode 0, LEDs off, terminal restored, exit status 0.
[[noreturn]] void teleop_stop_and_exit();
