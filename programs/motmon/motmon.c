/* motmon / motmon_le: watches one motor of a motor controller board. The motor number, 1 to 4,
 * is the first argument; the program prints the firmware version, sets the board's options and
 * then prints the motor's speed, position, current, error and status every 5 ms until it is
 * killed (Ctrl-C). Between lines it sleeps for most of the 5 ms and watches the clock only for
 * the last half millisecond (line_wait.c), so it leaves the processor to others. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>

#include "line_wait.h"
#include "program_usage.h"
#include "tarsa/dvn.h"
#include "tarsa/lyn.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_init.h"

#ifdef MOTMON_LE
#define BOARD "DravonLE"
#else
#define BOARD "Dravon"
#endif

static lyn_dev_t MotorOpen(int number) {
  static const char *const names[] = {BOARD ":PriMotor1", BOARD ":PriMotor2", BOARD ":PriMotor3",
                                      BOARD ":PriMotor4"};
  if (number < 1 || number > 4) return NULL;
  return lyn_open(names[number - 1], LYN_BUS_ANY, 0, NULL);
}

int main(int argc, char *argv[]) {
  lyn_dev_t dev;
  struct timeval last;
  int number, version = 0;

  const int checked = vx_check_options(argc, argv, program_usage, NULL, NULL);
  if (checked != VX_OPTIONS_OK) return checked;
  if (argc < 2) {
    printf("motor number needed\n\r");
    return 0;
  }
  /* Each line reaches a pipe or a file as it is printed, as it does a terminal: the program ends
   * only by a signal, which flushes nothing. */
  setvbuf(stdout, NULL, _IOLBF, 0);
  vx_set_debug_level(2);
  if (vx_init(argc, argv) < 0) return 1;
  puts("Velmor Monitor Program\r");

  number = (int)strtol(argv[1], NULL, 10);
  dev = MotorOpen(number);
  if (!dev) {
    printf("Cannot open motor %d\r\n", number);
    return 1;
  }
  dvn_GetFWVersion(dev, &version);
  printf("Motor Firmware v%u.%u\n", (unsigned)version >> 4 & 0xF, (unsigned)version & 0xF);
  dvn_SetOptions(dev, 0, 0x22);

  gettimeofday(&last, NULL);
  for (;;) {
    unsigned char status = 0, error = 0;
    motmon_wait_line(&last);
    printf("spd: %7ld ", (long)dvn_GetMeasure(dev, DVN_SPEED));
    printf("pos: %7ld ", (long)dvn_GetMeasure(dev, DVN_POSITION));
    printf("cur: %7ld ", (long)dvn_GetMeasure(dev, DVN_CURRENT));
    dvn_GetStatus(dev, &status, &error);
    printf("err: 0x%x stat: 0x%x\r\n", error, status);
  }
}
