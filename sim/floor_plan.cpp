// The room a scenario gets when it lays out none.
#include "floor_plan.h"

namespace tsim {

std::vector<Wall> default_room() {
  constexpr double h = 1500.0;
  return {{-h, -h, h, -h}, {h, -h, h, h}, {h, h, -h, h}, {-h, h, -h, -h}};
}

}  // namespace tsim
