// The robot's surroundings as a scenario lays them out: poses, walls and landmarks.
#pragma once

#include <vector>

namespace tsim {

// Lengths in millimetres, angles in radians, counter-clockwise positive, heading 0 along +x.
struct Pose {
  double x = 0, y = 0, heading = 0;
};

struct Wall {
  double x1, y1, x2, y2;
};

struct Landmark {
  int id = 0;
  double x = 0, y = 0, z = 2500;  // z: height of the landmark (ceiling), mm
};

// A 3 m square room around the origin: the walls when a scenario gives none.
std::vector<Wall> default_room();

}  // namespace tsim
