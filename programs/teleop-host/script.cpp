// Timed command scripts for teleop-host.
#include "script.h"

#include <cmath>
#include <sstream>

namespace {

std::string text_of(double v) {
  std::ostringstream s;
  s << v;
  return s.str();
}

}  // namespace

bool parse_script(const std::string &text, std::vector<ScriptEntry> &out, std::string &error) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  double last = 0;
  out.clear();
  while (std::getline(in, line)) {
    ++number;
    auto fail = [&](const std::string &what) {
      error = "line " + std::to_string(number) + ": " + what;
      return false;
    };
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::istringstream words(line);
    ScriptEntry e;
    std::string second;
    if (!(words >> e.at)) return fail("expected a time in seconds");
    if (!(words >> second)) return fail("expected W V or quit");
    if (second == "quit") {
      e.quit = true;
    } else {
      std::istringstream wv(second);
      if (!(wv >> e.W) || !wv.eof() || !(words >> e.V)) return fail("expected W V or quit");
    }
    std::string extra;
    if (words >> extra) return fail("unexpected text: " + extra);
    if (!std::isfinite(e.at) || !std::isfinite(e.W) || !std::isfinite(e.V))
      return fail("number out of range");
    if (e.at < 0) return fail("negative time: " + text_of(e.at));
    if (e.at < last) return fail("time goes back: " + text_of(e.at) + " after " + text_of(last));
    last = e.at;
    out.push_back(e);
  }
  return true;
}
