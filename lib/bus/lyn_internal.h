// Private links between the device network layer and the configuration reader.
#pragma once

// True when `name` is a configured section (device class), compared without regard to case.
bool vx_config_has_section(const char *name);
