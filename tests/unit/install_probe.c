/* Plain C program built against an installed libtarsa (pkg-config and CMake package tests). */
#include <stdio.h>
#include <stdlib.h>
#include <tarsa/tarsa.h>

int main(void) {
  vx_fifo_t *q = vx_fifo_fifoEmpty();
  vx_fifo_enqueue(q, 42);
  vx_set_debug_level(0);
  printf("%u %d %s\n", (unsigned)vx_hash("motor"), vx_fifo_dequeue(q), vx_errmsg[16]);
  free(q);
  return vx_error("install_probe", 1, "main", 3) == -3 ? 0 : 1;
}
