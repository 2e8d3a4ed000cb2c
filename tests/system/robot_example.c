/* Drives the robot forward, turns it on the spot, reads odometry and sensors, and stops.
 * It prints only what it could read, and ends with status 1 when a read fails. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "tarsa/tarsa.h"

static lyn_dev_t robot;

/* Every tr4_ call returns 0 on success (on failure the library has printed why). A robot that
 * does not answer is told to stop, in case it still hears, and the program ends; tr4_release
 * and vx_exit run at exit. */
static void check(int rc) {
  if (rc == 0) return;
  fprintf(stderr, "the robot does not answer (%d): stopping\n", rc);
  tr4_set_speed(0, 0, robot);
  tr4_SetMode(0, robot);
  exit(1);
}

int main(int argc, char *argv[]) {
  vx_set_debug_level(2); /* -d on the command line overrides it */
  if (tr4_init(argc, argv) != 0) return 1;
  robot = lyn_open("Tarsa4:dsPic", LYN_BUS_I2C, 0, NULL);
  if (robot == NULL) return 1;

  unsigned char revision;
  check(tr4_revision(&revision, robot));
  printf("firmware revision %u\n", revision);

  /* Speed control (mode 2), ramping by 20 units per 10 ms; 1 speed unit = 0.678181 mm/s. */
  check(tr4_SetSpeedProfile(20, 0, 20, 1, 800, robot));
  check(tr4_SetMode(2, robot));
  check(tr4_ResetEncoders(robot));

  check(tr4_set_speed(200, 200, robot)); /* forward at about 136 mm/s */
  sleep(1);
  check(tr4_set_speed(-100, 100, robot)); /* on the spot, counter-clockwise */
  usleep(500000);
  check(tr4_set_speed(0, 0, robot));

  int left, right;
  check(tr4_get_position(&left, &right, robot)); /* counts of 0.678181 mm */
  printf("encoders: left %d right %d\n", left, right);
  check(tr4_get_speed(&left, &right, robot));
  printf("speeds: left %d right %d\n", left, right);

  unsigned char us[TR4_US_BYTES];
  check(tr4_measure_us(us, robot));
  printf("ultrasonic (cm):"); /* left, front left, front, front right, right */
  for (int i = 0; i < 5; ++i) printf(" %d", (short)(us[2 * i] | us[2 * i + 1] << 8));
  printf("\n");

  unsigned char acc[TR4_ACC_BYTES];
  check(tr4_measure_acc(acc, robot));
  /* Z block: 10 samples, 12-bit values in the upper bits, 1000 counts per g. */
  double z = 0;
  for (int i = 0; i < 10; ++i) z += (short)(acc[40 + 2 * i] | acc[41 + 2 * i] << 8) / 16 / 1000.0;
  printf("acceleration Z: %.2f g\n", z / 10);

  unsigned char battery[TR4_BATTERY_BYTES];
  check(tr4_battery_status(battery, robot));
  printf("battery: %d mV, %d %%\n", battery[0] | battery[1] << 8, battery[10]);

  /* The charge line is a GPIO input of the board, not a robot command: 1 charging, 0 not, or a
   * negative error. */
  int status = 0;
  const int charging = tr4_battery_charge(robot);
  if (charging == 0 || charging == 1) {
    printf("charging: %s\n", charging ? "yes" : "no");
  } else {
    fprintf(stderr, "the charge line cannot be read (%d)\n", charging);
    status = 1;
  }

  check(tr4_SetMode(0, robot)); /* stopped */
  return status;
}
