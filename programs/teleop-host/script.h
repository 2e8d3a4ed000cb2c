// Timed command scripts for teleop-host: one entry per line, "SECONDS W V" or "SECONDS quit".
#pragma once

#include <string>
#include <vector>

struct ScriptEntry {
  double at = 0;  // seconds after the first sensor message
  double W = 0, V = 0;
  bool quit = false;
};

// Parses a script; "#" starts a comment, blank lines are skipped. Times are 0 or more and never
// go back. On error returns false with a message naming the line and what is wrong.
bool parse_script(const std::string &text, std::vector<ScriptEntry> &out, std::string &error);
