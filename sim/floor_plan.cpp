// The room a scenario gets when it lays out none, and obstacles as walls.
#include "floor_plan.h"

namespace tsim {

std::vector<Wall> default_room() {
  constexpr double h = 1500.0;
  return {{-h, -h, h, -h}, {h, -h, h, h}, {h, h, -h, h}, {-h, h, -h, -h}};
}

std::vector<Wall> box_walls(double x, double y, double width, double depth) {
  const double x1 = x - width / 2, x2 = x + width / 2, y1 = y - depth / 2, y2 = y + depth / 2;
  return {{x1, y1, x2, y1}, {x2, y1, x2, y2}, {x2, y2, x1, y2}, {x1, y2, x1, y1}};
}

}  // namespace tsim
