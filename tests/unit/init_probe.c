/* Starts the library with its command line and prints what a test needs to see:
 *   init=<result> level=<debug level>
 *   again=<result> level=<debug level>     (a second start with "-d 7 -v")
 *   argv[i]=<argument>                     (the vector as the program holds it afterwards)
 * PROBE_NOARGS=1 starts with (0, NULL) instead. Status 1 when the start fails. */
#include <stdio.h>
#include <stdlib.h>

#include "tarsa/vx_error.h"
#include "tarsa/vx_init.h"

int main(int argc, char *argv[]) {
  char prog[] = "init_probe", d[] = "-d", seven[] = "7", v[] = "-v";
  char *again[] = {prog, d, seven, v, NULL};
  const int noargs = getenv("PROBE_NOARGS") != NULL;
  int r, i;

  /* As the programs do, so that "-d" is seen to override it. */
  vx_set_debug_level(2);
  r = noargs ? vx_init(0, NULL) : vx_init(argc, argv);
  printf("init=%d level=%u\n", r, vx_debug_level);
  fflush(stdout);
  if (r < 0) return 1;

  r = vx_init(4, again);
  printf("again=%d level=%u\n", r, vx_debug_level);
  for (i = 1; i < argc; ++i) printf("argv[%d]=%s\n", i, argv[i]);
  return 0;
}
