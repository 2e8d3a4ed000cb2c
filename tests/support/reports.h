// The library's error reports collected instead of printed, for tests to look at.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "tarsa/vx_error.h"

namespace testutil {

struct Report {
  std::string file, function, text;  // text: the message with its arguments
  unsigned line = 0;
  int code = 0;

  bool operator==(const Report &) const = default;
  friend void PrintTo(const Report &r, std::ostream *os) {
    *os << r.file << ":" << r.line << ":" << r.function << " [" << r.code << "] " << r.text;
  }
};

// What the handler below collected, in order.
inline std::vector<Report> reports;

// An error handler that appends each report to `reports`.
inline void collect_report(const char *file, unsigned line, const char *function, int code,
                           va_list args) {
  char text[256] = "";
  if (code >= 0 && code < VX_ERRMSG_COUNT - 1)
    std::vsnprintf(text, sizeof text, vx_errmsg[code], args);
  reports.push_back({file, function, text, line, code});
}

// Empties `reports` and collects there until the handler is set again.
inline void collect_reports() {
  reports.clear();
  vx_set_error_handler(collect_report);
}

}  // namespace testutil
