/* First-in first-out queue of ints in a singly linked list. */
#ifndef TARSA_VX_FIFO_H
#define TARSA_VX_FIFO_H

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/** One queued value; one malloc block per value. */
typedef struct vx_fifo_cell {
  int value;                 /**< the stored value */
  struct vx_fifo_cell *next; /**< the next newer cell; null for the tail */
} vx_fifo_cell_t;

/** A queue. Empty it (vx_fifo_dequeue/vx_fifo_remove) before releasing it with free(). */
typedef struct vx_fifo {
  int lock;             /**< busy flag, 1 while an operation changes the queue */
  int length;           /**< number of cells */
  vx_fifo_cell_t *head; /**< oldest cell, next to leave; null when empty */
  vx_fifo_cell_t *tail; /**< newest cell; null when empty */
} vx_fifo_t;

/* Invalid calls print a message with perror() and leave the queue unchanged. Enqueue, remove,
 * dequeue and head hold the busy flag while they touch the cells; length, copy and print do
 * not, so a queue shared between threads needs its users' own lock around those. */

/** @return a new empty queue owned by the caller, or null when out of memory */
TARSA_API vx_fifo_t *vx_fifo_fifoEmpty(void);
/** @return the number of values in `F`, or -1 for a null queue */
TARSA_API int vx_fifo_length(vx_fifo_t *F);
/** Appends `value` at the tail of `F`. */
TARSA_API void vx_fifo_enqueue(vx_fifo_t *F, int value);
/** @return the value at the head of `F`, which stays queued; 0 for a null or empty queue */
TARSA_API int vx_fifo_head(vx_fifo_t *F);
/** Drops the head value of `F`. */
TARSA_API void vx_fifo_remove(vx_fifo_t *F);
/** @return the head value of `F`, removed from the queue; 0 for a null or empty queue */
TARSA_API int vx_fifo_dequeue(vx_fifo_t *F);
/** @return a new queue owned by the caller with the values of `F` in the same order (F is
 *  unchanged), or null for a null queue or when out of memory */
TARSA_API vx_fifo_t *vx_fifo_copy(vx_fifo_t *F);
/** Prints the values of `F` from head to tail, each followed by a space, then "\n\r". */
TARSA_API void vx_fifo_printFifo(vx_fifo_t *F);

TARSA_END_DECLS

#endif
