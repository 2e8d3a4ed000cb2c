/* iodemo: sets the IO board's 16 IOs to a pattern, then until Ctrl-C prints its analog inputs,
 * toggles the IOs and steps one active power output along outputs 0 to 5, every 200 ms.
 * Built with IODEMO_LE it drives the PellixLE board (iodemo_le). */
#define _DEFAULT_SOURCE

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "program_usage.h"
#include "tarsa/lyn.h"
#include "tarsa/plx.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_init.h"

#ifdef IODEMO_LE
#define BOARD "PellixLE"
#else
#define BOARD "Pellix"
#endif

static volatile sig_atomic_t quitReq = 0;

static void on_sigint(int sig) {
  (void)sig;
  quitReq = 1;
}

int main(int argc, char *argv[]) {
  const int checked = vx_check_options(argc, argv, program_usage, NULL, NULL);
  if (checked != VX_OPTIONS_OK) return checked;
  vx_set_debug_level(2);
  if (vx_init(argc, argv) < 0) return 1;

  /* No SA_RESTART: the signal cuts the cycle's pause short. */
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_sigint;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, NULL);

  /* Both programs print this same banner and, below, the same firmware line naming the LE
   * board: kept as users and their scripts know them. */
  puts("Velmor Pellix Test Program\r");

  lyn_dev_t dev = lyn_open(BOARD ":Board", LYN_BUS_ANY, 0, NULL);
  if (!dev) {
    puts("Cannot open " BOARD " device trying alternate address\r");
    dev = lyn_open(BOARD ":AltBoard", LYN_BUS_ANY, 0, NULL);
    if (!dev) {
      puts("Cannot open " BOARD " device\r");
      return 1;
    }
  }

  int version = 0;
  plx_GetFWVersion(dev, &version);
  printf("PellixLE firmware %d.%d\r\n", (version >> 4) & 0x0F, version & 0x0F);

  for (int io = 0; io < PLX_IO_COUNT; ++io) {
    plx_ConfigIO(dev, io, PLX_IO_OUTPUT);
    usleep(1000);
  }
  for (int io = 0; io < PLX_IO_COUNT; io += 2) plx_SetIO(dev, io);
  for (int io = 1; io < PLX_IO_COUNT; io += 2) plx_ClearIO(dev, io);

  int power = 0;
  while (!quitReq) {
    printf("\n> ");
    for (int channel = 0; channel < PLX_ANALOG_COUNT; ++channel) {
      uint16_t value = 0;
      uint32_t time = 0;
      plx_ReadAnalog(dev, channel, &value, &time);
      printf("read ad %d: %u at %lu mS\r\n", channel, (unsigned)value, (unsigned long)time);
    }
    for (int io = 0; io < PLX_IO_COUNT; ++io) plx_ChangeIO(dev, io);
    plx_ClearPW(dev, power);
    power = (power + 1) % PLX_PW_COUNT;
    plx_SetPW(dev, power);
    usleep(200000);
    putchar(12);
    /* A pipe or file sees each cycle whole as it ends. */
    fflush(stdout);
  }
  return lyn_close(dev);
}
