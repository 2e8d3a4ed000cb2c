// teleop-host's live view and path plot, as text.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sensor_message.h"

inline constexpr int kViewColumns = 80, kViewRows = 24;
// How long without a message before the link shows as stale: the robot stops after as long
// without a command.
inline constexpr double kStaleAfter = 0.5;
// Full scale of the sensor bars: ultrasonic distance in cm (nothing within 4 m reads 0), and the
// infrared sensors' 12-bit readings.
inline constexpr int kSonarFullScale = 400, kInfraredFullScale = 4095;

struct ViewData {
  const char *transport = "UDP";
  int port = 0;
  unsigned long received = 0, malformed = 0;
  unsigned restarts = 0;
  double since_last = -1;  // seconds since the last message; negative before the first
  SensorMessage last;
  double x = 0, y = 0, heading_deg = 0, distance = 0;  // mm, degrees
  double W = 0, V = 0;
};

// One screen of the live view for an 80 x 24 terminal: cursor home, then at most 23 lines of at
// most 79 columns, each clearing the rest of its row, and the rest of the screen cleared.
std::string render_view(const ViewData &d);

// The path (x, y in mm, in order) as an SVG drawing with millimetre axes, start and end marks
// and a legend.
std::string path_svg(const std::vector<std::pair<double, double>> &path);
