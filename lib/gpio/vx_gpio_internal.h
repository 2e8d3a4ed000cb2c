// Private links between the GPIO module and the library's other pin users (the robot base driver).
#pragma once

namespace tarsa {

// Claims `gpio` under `label`, taking it over once from an earlier holder that left it claimed
// (free, then request again). 0, or the negated errno of the last request.
int gpio_claim(int gpio, const char *label);

}  // namespace tarsa
