/* Drives a fixed script for as long as its first argument says (seconds of its own clock): legs
 * forward, on the spot and in arcs, twenty commands a second, reading the encoders after each.
 * Prints the seconds it saw pass and where the encoders ended. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "tarsa/tarsa.h"

static double now_s(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main(int argc, char *argv[]) {
  const double length = argc > 1 ? atof(argv[1]) : 60;
  static const int legs[][2] = {{300, 300}, {-150, 150},  {250, 150},
                                {0, 0},     {-200, -200}, {150, 250}};
  const int nlegs = (int)(sizeof legs / sizeof legs[0]);
  if (tr4_init(1, argv) != 0) return 1;
  lyn_dev_t robot = lyn_open("Tarsa4:dsPic", LYN_BUS_I2C, 0, NULL);
  if (robot == NULL) return 1;
  if (tr4_SetSpeedProfile(20, 0, 20, 1, 800, robot) != 0 || tr4_SetMode(2, robot) != 0 ||
      tr4_ResetEncoders(robot) != 0)
    return 1;
  const double start = now_s();
  int left = 0, right = 0;
  for (long tick = 0; tick < (long)(length * 20); ++tick) {
    const int *leg = legs[(tick / 60) % nlegs]; /* a leg every 3 s */
    if (tr4_set_speed(leg[0], leg[1], robot) != 0 || tr4_get_position(&left, &right, robot) != 0)
      return 1;
    usleep(50000);
  }
  tr4_set_speed(0, 0, robot);
  printf("seconds %.3f\nencoders %d %d\n", now_s() - start, left, right);
  return 0;
}
