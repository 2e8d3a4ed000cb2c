// lrfdemo: powers the laser range finder, takes one scan and prints it with each point's angle
// and position.
#include <math.h>

#include <cstdio>

#include "program_usage.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_init.h"
#include "tarsa/vx_lrf.h"
#include "tarsa/vx_utils.h"

namespace {

constexpr const char *kPort = "/dev/ttyACM0";
constexpr int kRows = 682;

}  // namespace

int main(int argc, char *argv[]) {
  const int checked = vx_check_options(argc, argv, program_usage, nullptr, nullptr);
  if (checked != VX_OPTIONS_OK) return checked;
  vx_clrscr();
  std::puts("Led Range Finder Small Example Program\r");

  vx_set_debug_level(2);
  if (vx_init(argc, argv) < 0) {
    std::printf("\nERROR: port %s could not initialise libtarsa!\n", kPort);
    return -1;
  }
  vx_lrf_Power_On();
  const int lrf = vx_lrf_Init(kPort);
  if (lrf < 0) {
    std::printf("\nERROR: port %s could not initialise LRF!\n", kPort);
    return -2;
  }
  // A failed scan has the same message as a failed start: readers of the output rely on it.
  if (vx_lrf_GetDistances(lrf) < 0) {
    std::printf("\nERROR: port %s could not initialise LRF!\n", kPort);
    vx_lrf_Close(lrf);
    return -3;
  }

  std::puts("index dist[mm] angle[deg] x[mm] y[mm]");
  for (int i = 0; i < kRows; ++i) {
    const long d = vx_lrf_DistanceData[i];
    // The angle in single precision, the trigonometry in double, the point back in single:
    // the table's last digit depends on it.
    const float angle = static_cast<float>(i - 85) * 360.0f * (1.0f / 1024.0f);
    double s = 0, c = 0;
    ::sincos(angle * M_PI / 180.0, &s, &c);
    const float x = static_cast<float>(static_cast<double>(d) * c);
    const float y = static_cast<float>(static_cast<double>(d) * s);
    std::printf("%3d\t%4ld\t%+6.1f\t%+7.1f\t%+7.1f\n", i, d, static_cast<double>(angle),
                static_cast<double>(x), static_cast<double>(y));
  }
  vx_lrf_Close(lrf);
  return 0;
}
