// The robot's surroundings as a scenario lays them out: poses, walls and landmarks.
#pragma once

#include <vector>

#include "model_entry.h"

namespace tsim {

// Lengths in millimetres, angles in radians, counter-clockwise positive, heading 0 along +x.
struct Pose {
  double x = 0, y = 0, heading = 0;
};

struct Wall {
  double x1, y1, x2, y2;
};

// An obstacle: a box centred on (x, y), `width` along x and `depth` along y.
struct Box {
  double x, y, width, depth;
  Where where;  // where the scenario gives it
};

struct Landmark {
  int id = 0;
  double x = 0, y = 0, z = 2500;  // z: height of the landmark (ceiling), mm
  Where where;                    // where the scenario gives it
};

// A 3 m square room around the origin: the walls when a scenario gives none.
std::vector<Wall> default_room();

// The four sides of a box centred on (x, y), `width` along x and `depth` along y.
std::vector<Wall> box_walls(double x, double y, double width, double depth);

}  // namespace tsim
