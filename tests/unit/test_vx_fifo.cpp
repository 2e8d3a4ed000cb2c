// FIFO queue: order, head/tail links, printout, copies, invalid calls, concurrent changes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tarsa/vx_fifo.h"
#include "test_vx_capture.h"

using core_test::Capture;

namespace {

struct Fifo {
  vx_fifo_t *q = vx_fifo_fifoEmpty();
  ~Fifo() {
    while (q->head != nullptr) vx_fifo_remove(q);
    std::free(q);
  }
};

TEST(VxFifo, FirstInFirstOut) {
  Fifo f;
  ASSERT_NE(f.q, nullptr);
  EXPECT_EQ(vx_fifo_length(f.q), 0);
  EXPECT_EQ(f.q->head, nullptr);
  for (int v : {1, 2, 3}) vx_fifo_enqueue(f.q, v);
  EXPECT_EQ(vx_fifo_length(f.q), 3);
  EXPECT_EQ(vx_fifo_head(f.q), 1);
  EXPECT_EQ(f.q->tail->value, 3);
  EXPECT_EQ(f.q->tail->next, nullptr);
  EXPECT_EQ(vx_fifo_dequeue(f.q), 1);
  EXPECT_EQ(vx_fifo_dequeue(f.q), 2);
  EXPECT_EQ(vx_fifo_dequeue(f.q), 3);
  EXPECT_EQ(vx_fifo_length(f.q), 0);
  EXPECT_EQ(f.q->head, nullptr);
  EXPECT_EQ(f.q->tail, nullptr);
  EXPECT_EQ(f.q->lock, 0);

  vx_fifo_enqueue(f.q, 9);
  EXPECT_EQ(f.q->head, f.q->tail);
  EXPECT_EQ(vx_fifo_head(f.q), 9);
  EXPECT_EQ(vx_fifo_length(f.q), 1);
  vx_fifo_enqueue(f.q, 10);
  vx_fifo_remove(f.q);
  EXPECT_EQ(vx_fifo_head(f.q), 10);
  EXPECT_EQ(f.q->head, f.q->tail);
}

TEST(VxFifo, Printout) {
  Fifo f;
  {
    Capture out(STDOUT_FILENO);
    vx_fifo_printFifo(f.q);
    EXPECT_EQ(out.text(), "\n\r");
  }
  vx_fifo_enqueue(f.q, 5);
  vx_fifo_enqueue(f.q, -7);
  Capture out(STDOUT_FILENO);
  vx_fifo_printFifo(f.q);
  EXPECT_EQ(out.text(), "5 -7 \n\r");
}

TEST(VxFifo, CopyIsIndependent) {
  Fifo f;
  for (int v : {4, 5, 6}) vx_fifo_enqueue(f.q, v);
  Fifo c;
  std::free(c.q);
  c.q = vx_fifo_copy(f.q);
  ASSERT_NE(c.q, nullptr);
  EXPECT_NE(c.q->head, f.q->head);
  EXPECT_EQ(vx_fifo_dequeue(c.q), 4);
  EXPECT_EQ(vx_fifo_dequeue(c.q), 5);
  EXPECT_EQ(vx_fifo_length(c.q), 1);
  EXPECT_EQ(vx_fifo_length(f.q), 3);
  EXPECT_EQ(vx_fifo_head(f.q), 4);
  vx_fifo_enqueue(c.q, 7);
  EXPECT_EQ(f.q->tail->value, 6);
}

TEST(VxFifo, InvalidCallsReportAndChangeNothing) {
  Fifo f;
  Capture err(STDERR_FILENO);
  EXPECT_EQ(vx_fifo_length(nullptr), -1);
  vx_fifo_enqueue(nullptr, 1);
  EXPECT_EQ(vx_fifo_head(nullptr), 0);
  EXPECT_EQ(vx_fifo_head(f.q), 0);
  vx_fifo_remove(f.q);
  EXPECT_EQ(vx_fifo_dequeue(f.q), 0);
  vx_fifo_remove(nullptr);
  EXPECT_EQ(vx_fifo_dequeue(nullptr), 0);
  EXPECT_EQ(vx_fifo_copy(nullptr), nullptr);
  vx_fifo_printFifo(nullptr);
  const std::string sys = ": Invalid argument\n";
  EXPECT_EQ(err.text(),
            "Problem fifo length, F is null \n\r" + sys + "enqueue problem, F is Null \n\r" + sys +
                "head problem, F is Null or size = 0 \n\r" + sys +
                "head problem, F is Null or size = 0 \n\r" + sys +
                "dequeue problem, F is null or size = 0 \n\r" + sys +
                "run problem, F is null or size = 0 \n\r" + sys +
                "dequeue problem, F is null or size = 0 \n\r" + sys +
                "run problem, F is null or size = 0 \n\r" + sys + "copy problem, F is null \n\r" +
                sys + "print problem, F is null \n\r" + sys);
  EXPECT_EQ(f.q->length, 0);
  EXPECT_EQ(f.q->head, nullptr);
  EXPECT_EQ(f.q->lock, 0);
}

TEST(VxFifo, ConcurrentProducersLoseNothingAndKeepTheirOrder) {
  Fifo f;
  constexpr int kThreads = 4, kPerThread = 100000;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t)
    producers.emplace_back([&f, t] {
      for (int i = 0; i < kPerThread; ++i) vx_fifo_enqueue(f.q, t * kPerThread + i);
    });
  for (auto &p : producers) p.join();
  int chained = 0;
  for (vx_fifo_cell_t *c = f.q->head; c != nullptr; c = c->next) ++chained;
  EXPECT_EQ(chained, kThreads * kPerThread);
  EXPECT_EQ(vx_fifo_length(f.q), kThreads * kPerThread);
  EXPECT_EQ(f.q->lock, 0);

  // Each producer's values leave in the order it queued them.
  std::vector<int> next(kThreads, 0);
  int out_of_order = 0;
  for (int i = 0; i < chained && f.q->head != nullptr; ++i) {
    const int v = vx_fifo_dequeue(f.q);
    const int t = v / kPerThread;
    out_of_order += v % kPerThread != next[t];
    next[t] = v % kPerThread + 1;
  }
  EXPECT_EQ(out_of_order, 0);
  EXPECT_EQ(next, std::vector<int>(kThreads, kPerThread));
}

}  // namespace
