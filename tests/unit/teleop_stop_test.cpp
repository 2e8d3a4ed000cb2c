// teleop's robot side without a robot (null handle: no bus traffic): the printed control lines
// and when the SIGINT/SIGTERM stop runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>

#include "teleop_robot.h"
#include "test_vx_capture.h"

TEST(TeleopControl, PrintsCommandAndWheelSpeeds) {
  core_test::Capture printed(STDOUT_FILENO);
  Ang_Vel_Control(0.5, 50);
  Ang_Vel_Control(-1, 20);
  Ang_Vel_Control(NAN, 20);
  EXPECT_EQ(printed.text(),
            "Ang Vel: 0.500000, Lin Vel: 50.000000\ndfgdfg: 112.000000, sdfsdf: 34.000000\n"
            "Ang Vel: -1.000000, Lin Vel: 20.000000\ndfgdfg: -48.000000, sdfsdf: 107.000000\n"
            "Ang Vel: nan, Lin Vel: 20.000000\ndfgdfg: 0.000000, sdfsdf: 0.000000\n");
}

TEST(TeleopStopDeathTest, RunsAtOnceWhileWaitingBetweenTicks) {
  EXPECT_EXIT(
      {
        install_stop_handler();
        idle_begin();
        raise(SIGINT);
        std::fputs("went on", stderr);
        std::_Exit(3);
      },
      testing::ExitedWithCode(0), "^$");
}

TEST(TeleopStopDeathTest, WaitsForTheInterruptedTransfer) {
  for (int sig : {SIGINT, SIGTERM}) {
    EXPECT_EXIT(
        {
          install_stop_handler();
          idle_end();  // inside a tick: a transfer may be in flight
          raise(sig);
          std::fputs("transfer finished;", stderr);
          teleop_checkpoint();
          std::fputs("went on", stderr);
          std::_Exit(3);
        },
        testing::ExitedWithCode(0), "^transfer finished;$")
        << sig;
  }
}

TEST(TeleopStopDeathTest, NoStopWithoutASignal) {
  EXPECT_EXIT(
      {
        install_stop_handler();
        idle_end();
        teleop_checkpoint();
        idle_begin();
        idle_end();
        std::_Exit(3);
      },
      testing::ExitedWithCode(3), "");
}
