// teleop-host's live view and path plot.
#include "view.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <sstream>

namespace {

// One line of the view, cut to the width that never wraps however large a value is.
std::string line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string line(const char *fmt, ...) {
  char buf[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  std::string text(buf);
  if (text.size() > kViewColumns - 1) text.resize(kViewColumns - 1);
  return text;
}

std::string bar(int value, int full, int width) {
  int n = int(std::lround(double(std::clamp(value, 0, full)) * width / full));
  return std::string(std::size_t(n), '#') + std::string(std::size_t(width - n), '.');
}

std::string link_state(double since_last) {
  if (since_last < 0) return line("link: waiting for the robot");
  if (since_last > kStaleAfter)
    return line("link: STALE - no message for %.1f s (the robot stops after %.1f s)", since_last,
                kStaleAfter);
  return line("link: last message %.2f s ago", since_last);
}

// A round step for about `parts` divisions of `span`: 1, 2 or 5 times a power of ten.
double nice_step(double span, int parts) {
  double raw = span / parts, power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0})
    if (m * power >= raw) return m * power;
  return 10 * power;
}

}  // namespace

std::string render_view(const ViewData &d) {
  const SensorMessage &m = d.last;
  std::vector<std::string> rows;
  rows.push_back(line("teleop-host  %s port %d  messages %lu  malformed %lu  restarts %u",
                      d.transport, d.port, d.received, d.malformed, d.restarts));
  rows.push_back(link_state(d.since_last));
  rows.push_back(line("robot time %12.4f s", m.t));
  rows.push_back(line("acc   g      x %10.4f  y %10.4f  z %10.4f", m.ax, m.ay, m.az));
  rows.push_back(line("rate  deg/s  x %10.4f  y %10.4f  z %10.4f", m.gx, m.gy, m.gz));
  rows.push_back(
      line("wheels  position L %11d R %11d   speed L %6d R %6d", m.posL, m.posR, m.spdL, m.spdR));
  rows.push_back(line("pose  x %9.1f mm  y %9.1f mm  heading %6.1f deg  driven %9.1f mm", d.x, d.y,
                      d.heading_deg, d.distance));
  rows.push_back(line("ultrasonic, cm (bar 0 to %d)", kSonarFullScale));
  for (int i = 0; i < 5; ++i)
    rows.push_back(
        line(" U%c %6d %s", 'A' + i, m.us[i], bar(m.us[i], kSonarFullScale, 40).c_str()));
  rows.push_back(line("infrared (bar 0 to %d)", kInfraredFullScale));
  for (int i = 0; i < 6; ++i)
    rows.push_back(line(" I%c %6d %s   I%c %6d %s", 'A' + i, m.ir[i],
                        bar(m.ir[i], kInfraredFullScale, 25).c_str(), 'G' + i, m.ir[6 + i],
                        bar(m.ir[6 + i], kInfraredFullScale, 25).c_str()));
  rows.push_back(line("command  W %8.3f rad/s  V %8.1f mm/s", d.W, d.V));
  rows.push_back(line("keys: arrows or WASD steer, space stops, q quits"));

  std::string out = "\x1b[H";
  for (const std::string &r : rows) out += r + "\x1b[K\r\n";
  return out + "\x1b[J";
}

std::string path_svg(const std::vector<std::pair<double, double>> &path) {
  double minx = 0, maxx = 0, miny = 0, maxy = 0;
  for (auto [x, y] : path) {
    minx = std::min(minx, x), maxx = std::max(maxx, x);
    miny = std::min(miny, y), maxy = std::max(maxy, y);
  }
  // One scale for both axes, on round millimetre steps.
  double span = std::max({maxx - minx, maxy - miny, 100.0});
  const double step = nice_step(span, 5);
  minx = std::floor(minx / step) * step, miny = std::floor(miny / step) * step;
  span = std::ceil(std::max(maxx - minx, maxy - miny) / step) * step;
  const double left = 80, top = 50, size = 500, width = left + size + 30, height = top + size + 60;
  const double k = size / span;
  auto px = [&](double x) { return left + (x - minx) * k; };
  auto py = [&](double y) { return top + size - (y - miny) * k; };  // y grows upwards

  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height << "\" font-family=\"sans-serif\" "
      << "font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << left << "\" y=\"20\" font-size=\"14\">robot path from wheel positions"
      << "</text>\n";
  // Grid, ticks and labels every step, then the axes with their titles.
  for (double v = 0; v <= span + step / 2; v += step) {
    const double gx = px(minx + v), gy = py(miny + v);
    svg << "<line x1=\"" << gx << "\" y1=\"" << top << "\" x2=\"" << gx << "\" y2=\"" << top + size
        << "\" stroke=\"#ddd\"/>\n<line x1=\"" << left << "\" y1=\"" << gy << "\" x2=\""
        << left + size << "\" y2=\"" << gy << "\" stroke=\"#ddd\"/>\n"
        << "<text x=\"" << gx << "\" y=\"" << top + size + 18 << "\" text-anchor=\"middle\">"
        << minx + v << "</text>\n<text x=\"" << left - 6 << "\" y=\"" << gy + 4
        << "\" text-anchor=\"end\">" << miny + v << "</text>\n";
  }
  svg << "<polyline fill=\"none\" stroke=\"black\" points=\"" << left << ',' << top << ' ' << left
      << ',' << top + size << ' ' << left + size << ',' << top + size << "\"/>\n"
      << "<text x=\"" << left + size / 2 << "\" y=\"" << top + size + 40
      << "\" text-anchor=\"middle\">x (mm)</text>\n<text x=\"20\" y=\"" << top + size / 2
      << "\" text-anchor=\"middle\" transform=\"rotate(-90 20 " << top + size / 2
      << ")\">y (mm)</text>\n";

  svg << "<polyline id=\"path\" fill=\"none\" stroke=\"blue\" stroke-width=\"2\" points=\"";
  for (auto [x, y] : path) svg << px(x) << ',' << py(y) << ' ';
  svg << "\"/>\n";
  if (!path.empty()) {
    svg << "<circle id=\"start\" cx=\"" << px(path.front().first) << "\" cy=\""
        << py(path.front().second) << "\" r=\"6\" fill=\"green\"/>\n<rect id=\"end\" x=\""
        << px(path.back().first) - 5 << "\" y=\"" << py(path.back().second) - 5
        << "\" width=\"10\" height=\"10\" fill=\"red\"/>\n";
  }
  // Legend on one row between the title and the plot, where the path never runs.
  const double ly = top - 14;
  svg << "<line x1=\"" << left + 200 << "\" y1=\"" << ly << "\" x2=\"" << left + 220 << "\" y2=\""
      << ly << "\" stroke=\"blue\" stroke-width=\"2\"/>\n<text x=\"" << left + 226 << "\" y=\""
      << ly + 4 << "\">path</text>\n<circle cx=\"" << left + 286 << "\" cy=\"" << ly
      << "\" r=\"6\" fill=\"green\"/>\n<text x=\"" << left + 298 << "\" y=\"" << ly + 4
      << "\">start</text>\n<rect x=\"" << left + 351 << "\" y=\"" << ly - 5
      << "\" width=\"10\" height=\"10\" fill=\"red\"/>\n<text x=\"" << left + 368 << "\" y=\""
      << ly + 4 << "\">end</text>\n</svg>\n";
  return svg.str();
}
