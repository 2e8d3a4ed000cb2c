// The ROS 2 front-end: the robot's samples as ROS 2 messages over DDS (Cyclone DDS), with the
// names, types, quality of service and type hashes ROS 2 nodes expect, and /cmd_vel taken as
// drive commands. No ROS is needed on the robot: a ROS 2 machine on the same network and domain
// sees the topics in `ros2 topic list`.
#pragma once

#include <memory>
#include <string>

#include "samples.h"

namespace bridge {

class Robot;

struct Ros2Options {
  bool enabled = false;
  int domain = -1;               // DDS domain; -1: ROS_DOMAIN_ID, or 0 without it
  std::string ns;                // topic namespace, e.g. "tarsa1" gives /tarsa1/odom
  std::string frame_prefix;      // prefix of every frame id, e.g. "tarsa1/"
  bool drive = true;             // /cmd_vel drives the robot
  bool cmd_vel_stamped = false;  // /cmd_vel is geometry_msgs/TwistStamped rather than Twist
};

// Starts the front-end for `robot` and attaches it, when enabled; null when not enabled, or after
// saying on stderr why DDS could not start (`*failed` set then).
std::unique_ptr<FrontEnd> attach_ros2(const Ros2Options &options, Robot &robot, bool *failed);

// The RIHS01 hash of a ROS 2 type as a text ("RIHS01_" and 64 hex digits), e.g. for
// "geometry_msgs/msg/Twist"; empty for a type the front-end does not know.
std::string ros2_type_hash(const std::string &type);

}  // namespace bridge
