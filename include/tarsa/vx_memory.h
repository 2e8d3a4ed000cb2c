/* Memory allocation that never returns null: running out ends the process. */
#ifndef TARSA_VX_MEMORY_H
#define TARSA_VX_MEMORY_H

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/** Allocates `size` bytes with malloc. On exhaustion reports error 0 ("no enough memory") and
 *  ends the process with exit status 200. @return the block, never null; release it with free() */
TARSA_API void *vx_alloc(int size);
/** Resizes `ptr` (null or a block from vx_alloc/vx_realloc/malloc) to `size` bytes with realloc;
 *  a size of 0 keeps a minimal block so that the result is never null. On exhaustion reports
 *  error 0 and ends the process with exit status 200.
 *  @return the block, never null; release it with free() */
TARSA_API void *vx_realloc(void *ptr, int size);

TARSA_END_DECLS

#endif
