// Private links between the configuration reader and the rest of the library.
#pragma once

// True when `name` is a configured section (device class), compared without regard to case.
bool vx_config_has_section(const char *name);
