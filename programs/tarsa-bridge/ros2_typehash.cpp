#include <string>

#include "ros2.h"
namespace bridge {
std::string ros2_type_hash(const std::string &) {
  return "";
}
}  // namespace bridge
