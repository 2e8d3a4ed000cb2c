/* gazerdemo: starts the StarGazer, prints its version and parameters, then ten position
 * readings about 100 ms apart. */
#include <stdio.h>
#include <unistd.h>

#include "program_usage.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_init.h"
#include "tarsa/vx_stargazer.h"
#include "tarsa/vx_utils.h"

/* A failed query may leave in the shared value a code that is no index of the table. */
static const char *name_of(const char *const *table, int size, int code) {
  return code >= 0 && code < size ? table[code] : "(unknown)";
}

int main(int argc, char *argv[]) {
  /* Sized for the longest version text a reply can carry; empty when the query fails. */
  char version[VX_GAZER_VERSION_SIZE] = "";
  int value = 0;
  double x = 0, y = 0, height = 0, angle = 0;
  int id = 0;
  char mode = ' ';
  int i, e;

  const int checked = vx_check_options(argc, argv, program_usage, NULL, NULL);
  if (checked != VX_OPTIONS_OK) return checked;
  vx_clrscr();
  printf("\nTarsa 4 Stargazer small example program\n");
  vx_set_debug_level(2);
  if (vx_init(argc, argv) < 0) return -1;

  printf("\nInitialising Stargazer module; please wait!\n");
  fflush(stdout);
  e = vx_stargazer_Init();
  if (e != 0) {
    printf("\nError initialising the Stargazer  (error = %d)!\n", e);
    vx_stargazer_Close();
    return -2;
  }

  vx_gazer_get_version(version);
  printf("\nStargazer version is: %s\n", version);

  printf("\nRead current Stargazer parameters:\n");
  vx_gazer_get_landmark_number(&value);
  printf("  landmark number: %d\n", value);
  vx_gazer_get_ref_id(&value);
  printf("  reference id   : %d\n", value);
  vx_gazer_get_landmark_type(&value);
  printf("  landmark type  : %s (does it match yours?)\n",
         name_of(vx_gazer_landmark_types, VX_GAZER_LANDMARK_TYPES, value));
  vx_gazer_get_landmark_mode(&value);
  printf("  landmark mode  : %s\n",
         name_of(vx_gazer_landmark_modes, VX_GAZER_LANDMARK_MODES, value));
  vx_gazer_get_height_fix_mode(&value);
  printf("  height fix mode: %s\n\n",
         name_of(vx_gazer_height_fix_modes, VX_GAZER_HEIGHT_FIX_MODES, value));

  /* Read errors go to standard error: what was printed before them goes out first. */
  fflush(stdout);
  vx_gazer_start_computation();
  for (i = 0; i < 10; i++) {
    const int r = vx_stargazer_read_data(&x, &y, &height, &angle, &id, &mode, 0);
    if (r == 0) {
      printf(
          "data %d: [cm,deg] x= %+6.1f  y= %+6.1f  angle= %+6.1f height= %+6.1f idnum= %4d "
          "mode: %c\n",
          i, x, y, angle, height, id, mode);
    } else if (r == -8) {
      fprintf(stderr, "\nERROR: no data received!\n");
    } else if (r == -6) {
      printf("The sensor does not see any landmark!\n");
    } else if (r == -3) {
      fprintf(stderr, "\nERROR: read error: buffer too short, leaving!\n");
      break;
    } else {
      fprintf(stderr, "\nERROR: read error number %d!\n", r);
    }
    fflush(stdout);
    usleep(99000);
  }

  vx_stargazer_Close();
  return 0;
}
