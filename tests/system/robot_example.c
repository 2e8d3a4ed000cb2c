/* Drives the robot forward, turns it on the spot, reads odometry and sensors, and stops. */
#include <stdio.h>
#include <unistd.h>

#include "tarsa/tarsa.h"

int main(int argc, char *argv[]) {
  vx_set_debug_level(2); /* -d on the command line overrides it */
  if (tr4_init(argc, argv) != 0) return 1;
  lyn_dev_t robot = lyn_open("Tarsa4:dsPic", LYN_BUS_I2C, 0, NULL);
  if (robot == NULL) return 1;

  unsigned char revision;
  if (tr4_revision(&revision, robot) == 0) printf("firmware revision %u\n", revision);

  /* Speed control with a gentle ramp; 1 speed unit = 0.678181 mm/s. */
  tr4_SetSpeedProfile(20, 0, 20, 1, 800, robot);
  tr4_SetMode(2, robot);
  tr4_ResetEncoders(robot);

  tr4_set_speed(200, 200, robot); /* forward at about 136 mm/s */
  sleep(1);
  tr4_set_speed(-100, 100, robot); /* on the spot, counter-clockwise */
  usleep(500000);
  tr4_set_speed(0, 0, robot);

  int left, right;
  if (tr4_get_position(&left, &right, robot) == 0) printf("encoders: left %d right %d\n", left, right);
  if (tr4_get_speed(&left, &right, robot) == 0) printf("speeds: left %d right %d\n", left, right);

  unsigned char us[TR4_US_BYTES];
  if (tr4_measure_us(us, robot) == 0) {
    printf("ultrasonic (cm):");
    for (int i = 0; i < 5; ++i) printf(" %d", (short)(us[2 * i] | us[2 * i + 1] << 8));
    printf("\n");
  }

  unsigned char acc[TR4_ACC_BYTES];
  if (tr4_measure_acc(acc, robot) == 0) {
    /* Z block: 10 samples, 12-bit values in the upper bits, 1000 counts per g. */
    double z = 0;
    for (int i = 0; i < 10; ++i) z += (short)(acc[40 + 2 * i] | acc[41 + 2 * i] << 8) / 16 / 1000.0;
    printf("acceleration Z: %.2f g\n", z / 10);
  }

  printf("charging: %s\n", tr4_battery_charge(robot) == 1 ? "yes" : "no");

  tr4_SetMode(0, robot); /* stopped; tr4_release and vx_exit run at exit */
  return 0;
}
