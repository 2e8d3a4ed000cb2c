// Timed command scripts for teleop-host.
#include "script.h"

#include <cmath>
#include <sstream>

bool parse_script(const std::string &text, std::vector<ScriptEntry> &out, std::string &error) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  double last = 0;
  out.clear();
  while (std::getline(in, line)) {
    ++number;
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    ScriptEntry e;
    std::string second;
    if (!(words >> e.at)) {
      if (words.eof() && line.find_first_not_of(" \t\r") == std::string::npos) continue;
      error = "line " + std::to_string(number) + ": expected a time in seconds";
      return false;
    }
    if (!(words >> second)) {
      error = "line " + std::to_string(number) + ": expected W V or quit";
      return false;
    }
    if (second == "quit") {
      e.quit = true;
    } else {
      std::istringstream wv(second);
      if (!(wv >> e.W) || !(words >> e.V)) {
        error = "line " + std::to_string(number) + ": expected W V or quit";
        return false;
      }
    }
    std::string extra;
    if (words >> extra || !std::isfinite(e.at) || !std::isfinite(e.W) || !std::isfinite(e.V) || e.at < last) {
      error = "line " + std::to_string(number) + ": bad entry";
      return false;
    }
    last = e.at;
    out.push_back(e);
  }
  return true;
}
