// FIFO queue of ints held in a singly linked list of heap cells.
#include "tarsa/vx_fifo.h"

#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// The busy flag is taken with an atomic exchange: a plain test-then-set would let two threads
// in at once. Holders never block inside (allocation and freeing happen outside), so the wait
// lasts at most one short critical section of another thread.
void acquire(vx_fifo_t *F) {
  while (__atomic_exchange_n(&F->lock, 1, __ATOMIC_ACQUIRE) != 0) sched_yield();
}

void release(vx_fifo_t *F) {
  __atomic_store_n(&F->lock, 0, __ATOMIC_RELEASE);
}

// The messages, with their "\n\r" before perror's own text, are kept as programs print them.
void complain(const char *msg) {
  errno = EINVAL;
  std::perror(msg);
}

// Unlinks the head cell of a queue known to be non-empty; the caller frees it.
vx_fifo_cell_t *unlink_head(vx_fifo_t *F) {
  vx_fifo_cell_t *cell = F->head;
  if (F->length == 1) {
    F->head = nullptr;
    F->tail = nullptr;
  } else {
    F->head = cell->next;
  }
  F->length--;
  return cell;
}

// Takes the head cell off the queue under the lock; null when there is no queue or it is empty.
// The caller frees the cell.
vx_fifo_cell_t *take_head(vx_fifo_t *F) {
  vx_fifo_cell_t *cell = nullptr;
  if (F != nullptr) {
    acquire(F);
    if (F->head != nullptr) cell = unlink_head(F);
    release(F);
  }
  return cell;
}

}  // namespace

vx_fifo_t *vx_fifo_fifoEmpty(void) {
  auto *F = static_cast<vx_fifo_t *>(std::malloc(sizeof(vx_fifo_t)));
  if (F == nullptr) {
    std::perror("Problem fifo is empty \n\r");
    return nullptr;
  }
  F->lock = 0;
  F->length = 0;
  F->head = nullptr;
  F->tail = nullptr;
  return F;
}

int vx_fifo_length(vx_fifo_t *F) {
  if (F == nullptr) {
    complain("Problem fifo length, F is null \n\r");
    return -1;
  }
  return __atomic_load_n(&F->length, __ATOMIC_RELAXED);
}

void vx_fifo_enqueue(vx_fifo_t *F, int value) {
  if (F == nullptr) {
    complain("enqueue problem, F is Null \n\r");
    return;
  }
  auto *cell = static_cast<vx_fifo_cell_t *>(std::malloc(sizeof(vx_fifo_cell_t)));
  if (cell == nullptr) {
    std::perror("enqueue problem, cel is Null");
    return;
  }
  cell->value = value;
  cell->next = nullptr;
  acquire(F);
  if (F->tail == nullptr)
    F->head = cell;
  else
    F->tail->next = cell;
  F->tail = cell;
  F->length++;
  release(F);
}

int vx_fifo_head(vx_fifo_t *F) {
  if (F == nullptr) {
    complain("head problem, F is Null or size = 0 \n\r");
    return 0;
  }
  acquire(F);
  const bool empty = F->head == nullptr;
  const int value = empty ? 0 : F->head->value;
  release(F);
  if (empty) complain("head problem, F is Null or size = 0 \n\r");
  return value;
}

void vx_fifo_remove(vx_fifo_t *F) {
  vx_fifo_cell_t *cell = take_head(F);
  if (cell == nullptr) {
    complain("dequeue problem, F is null or size = 0 \n\r");
    return;
  }
  std::free(cell);
}

int vx_fifo_dequeue(vx_fifo_t *F) {
  vx_fifo_cell_t *cell = take_head(F);
  if (cell == nullptr) {
    complain("run problem, F is null or size = 0 \n\r");
    return 0;
  }
  const int value = cell->value;
  std::free(cell);
  return value;
}

vx_fifo_t *vx_fifo_copy(vx_fifo_t *F) {
  if (F == nullptr) {
    complain("copy problem, F is null \n\r");
    return nullptr;
  }
  vx_fifo_t *copy = vx_fifo_fifoEmpty();
  if (copy == nullptr) return nullptr;
  for (vx_fifo_cell_t *cell = F->head; cell != nullptr; cell = cell->next)
    vx_fifo_enqueue(copy, cell->value);
  return copy;
}

void vx_fifo_printFifo(vx_fifo_t *F) {
  if (F == nullptr) {
    complain("print problem, F is null \n\r");
    return;
  }
  for (vx_fifo_cell_t *cell = F->head; cell != nullptr; cell = cell->next)
    std::printf("%d ", cell->value);
  std::printf("\n\r");
}
