// The robot's claim: taken and kept by its holder, refused to other processes with the holder's
// name, freed by unclaiming or by the holder's death, and kept on the simulated board's own
// /run/lock (a file in the run's directory).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "simtest.h"
#include "tarsa/tr4_claim.h"
#include "testutil.h"

namespace {

std::string pid_text(pid_t pid) {
  return " (pid " + std::to_string(pid) + ")";
}

// Runs `body` in a child made by fork(); its result is the child's exit status.
int in_child(const std::function<int()> &body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string board_lock_file() {
  const char *state = std::getenv("TARSA_SIM_STATE");
  const std::string s = state ? state : "";
  return s.substr(0, s.rfind('/')) + "/tarsa4.lock";
}

TEST(Claim, TakenKeptAndGivenUp) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  struct stat host_before {};
  const bool host_had = stat("/proc/self/root/run/lock/tarsa4.lock", &host_before) == 0;

  char holder[64] = "x";
  ASSERT_EQ(tr4_claim("claimtest", holder, sizeof holder), TR4_CLAIM_TAKEN);
  EXPECT_STREQ(holder, "");
  EXPECT_EQ(tr4_claim("claimtest", holder, sizeof holder), TR4_CLAIM_TAKEN);  // the holder again
  EXPECT_EQ(testutil::read_file(board_lock_file()), "claimtest" + pid_text(getpid()) + "\n");

  // A child made by fork() shares the holder's descriptor but not its claim; giving up what it
  // does not hold leaves the holder's alone.
  const std::string expected = "claimtest" + pid_text(getpid());
  EXPECT_EQ(in_child([&] {
              char h[64];
              if (tr4_claim("child", h, sizeof h) != TR4_CLAIM_BUSY || expected != h) return 1;
              tr4_unclaim();
              if (tr4_claim("child", h, sizeof h) != TR4_CLAIM_BUSY) return 2;
              return 0;
            }),
            0);

  tr4_unclaim();
  tr4_unclaim();  // nothing held: nothing happens
  EXPECT_EQ(testutil::read_file(board_lock_file()), "");
  EXPECT_EQ(in_child([] { return tr4_claim("child", nullptr, 0) == TR4_CLAIM_TAKEN ? 0 : 1; }), 0);

  // The computer's own /run/lock is not the board's.
  struct stat host_after {};
  const bool host_has = stat("/proc/self/root/run/lock/tarsa4.lock", &host_after) == 0;
  EXPECT_EQ(host_has, host_had);
  if (host_had && host_has) {
    EXPECT_EQ(host_after.st_mtime, host_before.st_mtime);
  }
}

TEST(Claim, OtherProcessNamedUntilItsDeath) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    // No name given: the process's own.
    const char r = tr4_claim(nullptr, nullptr, 0) == TR4_CLAIM_TAKEN ? 'y' : 'n';
    (void)!write(ready[1], &r, 1);
    for (;;) pause();
  }
  close(ready[1]);
  char r = 0;
  ASSERT_EQ(read(ready[0], &r, 1), 1);
  close(ready[0]);
  EXPECT_EQ(r, 'y');

  char holder[64] = "";
  EXPECT_EQ(tr4_claim("claimtest", holder, sizeof holder), TR4_CLAIM_BUSY);
  EXPECT_EQ(holder, "test_tr4_claim" + pid_text(child));
  char small[8] = "";
  EXPECT_EQ(tr4_claim("claimtest", small, sizeof small), TR4_CLAIM_BUSY);
  EXPECT_STREQ(small, "test_tr");

  // SIGKILL runs nothing of the holder's: the kernel frees the claim.
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(tr4_claim("claimtest", holder, sizeof holder), TR4_CLAIM_TAKEN);
  tr4_unclaim();
}

}  // namespace
