// Symbol table: hash and buckets, case-insensitive duplicates, dump lines, ownership.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tarsa/vx_symbol.h"
#include "test_vx_capture.h"

using core_test::Capture;

namespace {

vx_symbol_t *make(const char *name, int type = VX_SYMBOL_DEVICE, void *value = nullptr,
                  int owns = 0) {
  auto *s = static_cast<vx_symbol_t *>(std::calloc(1, sizeof(vx_symbol_t)));
  std::snprintf(s->name, sizeof s->name, "%s", name);
  s->type = type;
  s->value = value;
  s->owns_value = owns;
  return s;
}

// A table on the stack, destroyed at the end of the test.
struct Table {
  vx_symbol_table_t t;
  Table() { vx_create_symbol_table(&t); }
  ~Table() { vx_destroy_symbol_table(&t); }
};

TEST(VxSymbol, HashesAndBuckets) {
  EXPECT_EQ(vx_hash(""), 0u);
  EXPECT_EQ(vx_hash("a"), 97u);
  EXPECT_EQ(vx_hash("ab"), 486u);
  EXPECT_EQ(vx_hash("AB"), 486u);
  EXPECT_EQ(vx_hash("AB") % VX_SYMBOL_BUCKETS, 63u);
  EXPECT_EQ(vx_hash("motor"), 37422u);
  EXPECT_EQ(vx_hash("Motor"), 37422u);
  EXPECT_EQ(vx_hash("Motor") % VX_SYMBOL_BUCKETS, 57u);
  // Wraps modulo 2^32: only the last 16 characters count, bytes above 0x7f included.
  EXPECT_EQ(vx_hash("xyz0123456789abcdef"), vx_hash("q0123456789ABCDEF"));
  EXPECT_EQ(vx_hash("\xe9t\xe9"), (0xe9u * 16) + ('t' * 4) + 0xe9u);

  Table tb;
  vx_symbol_t *e = make("");
  ASSERT_EQ(vx_add_symbol(&tb.t, e), 1);
  EXPECT_EQ(tb.t.buckets[0], e);
  vx_symbol_t *m = make("motor");
  ASSERT_EQ(vx_add_symbol(&tb.t, m), 1);
  EXPECT_EQ(tb.t.buckets[57], m);
}

TEST(VxSymbol, DuplicatesAreRefusedIgnoringCase) {
  Table tb;
  vx_symbol_t *first = make("motor");
  vx_symbol_t *second = make("Motor");
  EXPECT_EQ(vx_add_symbol(&tb.t, first), 1);
  EXPECT_EQ(vx_add_symbol(&tb.t, second), 0);
  EXPECT_EQ(tb.t.count, 1);
  EXPECT_EQ(vx_lookup_symbol(&tb.t, "MOTOR"), first);
  EXPECT_EQ(vx_lookup_symbol(&tb.t, "motors"), nullptr);
  EXPECT_EQ(second->next, nullptr);
  std::free(second);  // refused: still the caller's
}

TEST(VxSymbol, SharedBucketsKeepNewestFirst) {
  Table tb;
  // Same last 16 characters: same hash, same bucket.
  vx_symbol_t *a = make("one-0123456789abcdef");
  vx_symbol_t *b = make("two-0123456789abcdef");
  vx_symbol_t *c = make("ab");
  ASSERT_EQ(vx_hash(a->name), vx_hash(b->name));
  EXPECT_EQ(vx_add_symbol(&tb.t, a), 1);
  EXPECT_EQ(vx_add_symbol(&tb.t, b), 1);
  EXPECT_EQ(vx_add_symbol(&tb.t, c), 1);
  EXPECT_EQ(tb.t.count, 3);
  const uint32_t bucket = vx_hash(a->name) % VX_SYMBOL_BUCKETS;
  EXPECT_EQ(tb.t.buckets[bucket], b);
  EXPECT_EQ(b->next, a);
  EXPECT_EQ(a->next, nullptr);
  EXPECT_EQ(vx_lookup_symbol(&tb.t, "ONE-0123456789ABCDEF"), a);
  EXPECT_EQ(vx_lookup_symbol(&tb.t, "two-0123456789abcdef"), b);
  EXPECT_EQ(vx_lookup_symbol(&tb.t, "three-0123456789abcdef"), nullptr);
}

TEST(VxSymbol, NameFillingTheWholeBufferIsCut) {
  Table tb;
  vx_symbol_t *s = make("");
  std::memset(s->name, 'k', sizeof s->name);
  ASSERT_EQ(vx_add_symbol(&tb.t, s), 1);
  EXPECT_EQ(std::strlen(s->name), 127u);
  EXPECT_EQ(vx_lookup_symbol(&tb.t, std::string(127, 'K').c_str()), s);
}

const char kHead[] =
    "------------------------------------------------------------------\n"
    " Name                             Type                            \n"
    "------------------------------------------------------------------\n";
const char kTail[] = "==================================================================\n";

TEST(VxSymbol, DumpLines) {
  Table tb;
  {
    Capture out(STDOUT_FILENO);
    vx_dump_symbol_table(&tb.t);
    EXPECT_EQ(out.text(), std::string(kHead) + kTail);
  }
  // Buckets in order (motor 57, ab 63, a 97), newest first within one.
  vx_add_symbol(&tb.t, make("a", VX_SYMBOL_REGISTER));
  vx_add_symbol(&tb.t, make("Motor", VX_SYMBOL_SECTION));
  vx_add_symbol(&tb.t, make("ab", VX_SYMBOL_ALIAS));
  vx_add_symbol(&tb.t, make("one-0123456789abcdef", VX_SYMBOL_DEVICE));
  vx_add_symbol(&tb.t, make("two-0123456789abcdef", VX_SYMBOL_DEVICE));
  vx_add_symbol(&tb.t, make("odd", 9));
  const uint32_t shared = vx_hash("one-0123456789abcdef") % VX_SYMBOL_BUCKETS;
  const uint32_t odd = vx_hash("odd") % VX_SYMBOL_BUCKETS;
  ASSERT_TRUE(odd < shared && shared < 57) << odd << " " << shared;
  Capture out(STDOUT_FILENO);
  vx_dump_symbol_table(&tb.t);
  EXPECT_EQ(out.text(), std::string(kHead) +
                            " odd                              ?                               \n"
                            " two-0123456789abcdef             device                          \n"
                            " one-0123456789abcdef             device                          \n"
                            " Motor                            section                         \n"
                            " ab                               alias                           \n"
                            " a                                register                        \n" +
                            kTail);
  EXPECT_STREQ(vx_symbol_type_names[3], "register");
  EXPECT_EQ(vx_symbol_type_names[4], nullptr);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(VxSymbol, DestroyFreesOwnedValuesOnly) {
  // Blocks this large are mapped on their own, so mallinfo2's mapped total shows each release.
  constexpr size_t kBig = 8u << 20;
  void *owned = std::malloc(kBig);
  void *borrowed = std::malloc(kBig);
  std::memset(owned, 1, kBig);
  std::memset(borrowed, 2, kBig);
  vx_symbol_table_t *t = vx_create_symbol_table(nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->count, 0);
  vx_add_symbol(t, make("owned", VX_SYMBOL_DEVICE, owned, 1));
  vx_add_symbol(t, make("borrowed", VX_SYMBOL_DEVICE, borrowed, 0));
  const size_t before = mallinfo2().hblkhd;
  vx_destroy_symbol_table(t);
  const size_t after = mallinfo2().hblkhd;
  if (!kSanitized) {
    EXPECT_GE(before - after, kBig);
    EXPECT_LT(before - after, 2 * kBig);
  }
  EXPECT_EQ(t->count, 0);
  EXPECT_EQ(vx_lookup_symbol(t, "owned"), nullptr);
  EXPECT_EQ(static_cast<unsigned char *>(borrowed)[kBig - 1], 2);  // still ours
  std::free(borrowed);
  std::free(t);
}

TEST(VxSymbol, ConcurrentAddsKeepNamesUnique) {
  Table tb;
  constexpr int kThreads = 4, kNames = 500;
  std::atomic<int> inserted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Every thread adds the same shared names, plus names of its own.
      for (int i = 0; i < kNames; ++i) {
        vx_symbol_t *s = make(("shared" + std::to_string(i)).c_str());
        if (vx_add_symbol(&tb.t, s))
          inserted++;
        else
          std::free(s);
        const std::string name = "t" + std::to_string(t) + "." + std::to_string(i);
        vx_symbol_t *own = make(name.c_str());
        if (vx_add_symbol(&tb.t, own))
          inserted++;
        else
          std::free(own);
        EXPECT_EQ(vx_lookup_symbol(&tb.t, name.c_str()), own);
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(inserted.load(), kNames + kThreads * kNames);
  EXPECT_EQ(tb.t.count, kNames + kThreads * kNames);
  int chained = 0;
  for (auto *head : tb.t.buckets)
    for (auto *s = head; s; s = s->next) chained++;
  EXPECT_EQ(chained, tb.t.count);
}

}  // namespace
