/* Millisecond clock relative to its first reading. */
#ifndef TARSA_VX_TIME_H
#define TARSA_VX_TIME_H

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/** Milliseconds since the first call of the process (wall clock, 32-bit wrapping arithmetic).
 *  @return 0 on the first call, then the elapsed milliseconds */
TARSA_API int vx_getTime(void);

TARSA_END_DECLS

#endif
