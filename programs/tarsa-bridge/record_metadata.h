// What a recording says about the run that made it: the robot, the bridge's settings in effect
// and the bridge's version, as MCAP metadata records.
#pragma once

#include <vector>

#include "options.h"
#include "recorder.h"

namespace bridge {

// "robot" (model, host, the optional sensors that answered), "configuration" (every [bridge]
// setting as in effect, command line included, named by its key) and "tarsa-bridge" (version).
std::vector<RecordMetadata> recording_metadata(const Options &opt, const SensorSet &sensors);

}  // namespace bridge
