// lrfpower: switches the laser range finder's power on (1) or off (0).
#include <cstdio>
#include <cstdlib>

#include "program_usage.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_init.h"
#include "tarsa/vx_lrf.h"

int main(int argc, char *argv[]) {
  const int checked = vx_check_options(argc, argv, program_usage, nullptr, nullptr);
  if (checked != VX_OPTIONS_OK) return checked;
  vx_set_debug_level(2);
  std::puts("Tarsa4 lrf battery power on/off program\r");
  // The program's own argument is no library option.
  if (vx_init(0, nullptr) < 0) return 1;
  if (argc != 2) {
    std::printf("USAGE: %s ON_OFF\n  ON_OFF: 1 for on, 0 for OFF\n",
                argc > 0 ? argv[0] : "lrfpower");
    return -1;
  }
  // Text that is not a number reads as 0, as strtol has it: off is the safe side.
  if (std::strtol(argv[1], nullptr, 10) == 0) {
    std::puts("LRF power off\n");
    vx_lrf_Power_Off();
  } else {
    std::puts("LRF power on\n");
    vx_lrf_Power_On();
  }
  return 0;
}
