// tarsa._tarsa: the library's calls for the Python package. Every call that waits on a device
// releases the interpreter's lock; every failure becomes an exception of tarsa._errors carrying
// the library's code and the reports it made meanwhile. Units stay the library's here; the
// package's Python layer (tarsa/__init__.py) gives the classes their SI interface.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "tarsa/lyn.h"
#include "tarsa/tr4_claim.h"
#include "tarsa/tr4_model.h"
#include "tarsa/vx_camera.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_gpio.h"
#include "tarsa/vx_init.h"
#include "tarsa/vx_lrf.h"
#include "tarsa/vx_pwm.h"
#include "tarsa/vx_stargazer.h"
#include "tarsa/vx_tarsa4.h"

namespace py = pybind11;

namespace {

// ---- reports and exceptions ----

// The library's reports made on this thread and not yet taken by an exception.
thread_local std::vector<std::string> t_reports;

void on_report(const char *, unsigned, const char *, int code, va_list args) {
  char text[512];
  if (code >= 0 && code < VX_ERRMSG_COUNT - 1 && vx_errmsg[code] != nullptr)
    std::vsnprintf(text, sizeof text, vx_errmsg[code], args);
  else
    std::snprintf(text, sizeof text, "unknown error %d", code);
  t_reports.emplace_back(text);
}

// Reports of a call that succeeded go where the library would have printed them.
void flush_reports() {
  for (const auto &r : t_reports) std::fprintf(stderr, "%s\n", r.c_str());
  t_reports.clear();
}

py::object error_class(const char *kind) {
  // Kept for the process's life: the module object must outlive the interpreter's teardown.
  static auto *errors = new py::object(py::module_::import("tarsa._errors"));
  return errors->attr(kind);
}

// Raises tarsa._errors.<kind>(message, code, reports), the reports taken from this thread.
[[noreturn]] void fail(const char *kind, int code, const std::string &message,
                       py::object extra = py::none()) {
  py::list reports;
  for (const auto &r : t_reports) reports.append(r);
  t_reports.clear();
  py::object cls = error_class(kind);
  py::object exc = cls(message, code, reports, extra);
  PyErr_SetObject(cls.ptr(), exc.ptr());
  throw py::error_already_set();
}

// The exception class for a negated errno.
const char *errno_kind(int neg) {
  switch (-neg) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "DeviceNotFound";
    case ETIMEDOUT:
      return "Timeout";
    default:
      return "Error";
  }
}

// Fails with the errno's text for a negative result; otherwise passes the reports on.
void check_errno(int rc, const std::string &what) {
  if (rc < 0) fail(errno_kind(rc), -rc, what + ": " + std::strerror(-rc));
  flush_reports();
}

// ---- library start-up ----

// Whether init() ran: options given later would not be read.
bool g_started = false;
std::vector<std::string> g_argv;  // vx_init and the bus bindings keep pointers into it

void install_handler() {
  static bool installed = false;
  if (!installed) vx_set_error_handler(on_report);
  installed = true;
}

void start(std::vector<char *> &args) {
  install_handler();
  int rc;
  {
    py::gil_scoped_release nogil;
    rc = vx_init(static_cast<int>(args.size()) - 1, args.size() > 1 ? args.data() : nullptr);
  }
  if (rc < 0) fail("Error", -rc, "the library did not start");
  flush_reports();
}

void init(const std::vector<std::string> &argv) {
  g_argv = argv;
  std::vector<char *> args;
  for (auto &a : g_argv) args.push_back(a.data());
  args.push_back(nullptr);
  start(args);
  g_started = true;
}

// The library started as it is, or with no options; vx_init() returns at once once started.
void ensure_started() {
  std::vector<char *> none{nullptr};
  start(none);
  g_started = true;
}

// ---- the robot base ----

void check_robot(int rc, const char *what) {
  if (rc == 0) {
    flush_reports();
    return;
  }
  fail("Error", rc, std::string(what) + " failed");
}

class Robot {
 public:
  Robot() {
    install_handler();
    g_started = true;
    // Starts the library when needed and takes the reset and charge lines, again each time: the
    // library may have been stopped and started since.
    if (tr4_init(0, nullptr) < 0) fail("Error", 57, "the robot base did not start");
    dev_ = lyn_open("Tarsa4:dsPic", LYN_BUS_I2C, 0, nullptr);
    if (dev_ == nullptr)
      fail("DeviceNotFound", 0, "the robot base (Tarsa4:dsPic) cannot be opened");
    flush_reports();
  }

  lyn_dev_t dev() const { return dev_; }

  void drive_start() {
    int rc;
    {
      py::gil_scoped_release nogil;
      rc = tr4_drive_start(dev_);
    }
    // The encoders start again from 0: that is the odometry's reference.
    tr4_odometry_reset(&odo_);
    if (rc == 0) tr4_odometry_update(&odo_, 0, 0);
    check_robot(rc, "starting the robot for driving");
  }

  void set_mode(int mode) { check_robot(tr4_SetMode(mode, dev_), "setting the controller mode"); }

  void set_speed(int left, int right) {
    int rc;
    {
      py::gil_scoped_release nogil;
      rc = tr4_set_speed(left, right, dev_);
    }
    check_robot(rc, "setting the wheel speeds");
  }

  int stop() {
    int rc;
    {
      py::gil_scoped_release nogil;
      rc = tr4_stop(dev_);
    }
    check_robot(rc, "the stop routine");
    return rc;
  }

  std::pair<int, int> pair(int (*fn)(int *, int *, lyn_dev_t), const char *what) {
    int l = 0, r = 0, rc;
    {
      py::gil_scoped_release nogil;
      rc = fn(&l, &r, dev_);
    }
    check_robot(rc, what);
    return {l, r};
  }

  // Pose from the encoders: x, y (m), theta (rad), distance (m), and whether this reading
  // only set the reference after the first one (travel was lost).
  std::tuple<double, double, double, double, bool> odometry() {
    auto [l, r] = pair(tr4_get_position, "reading the encoders");
    const bool first = !odo_.started;
    const bool reference = tr4_odometry_update(&odo_, l, r) == 1;
    return {odo_.x_m, odo_.y_m, odo_.theta_rad, odo_.distance_m, reference && !first};
  }

  template <std::size_t N>
  std::array<unsigned char, N> read(int (*fn)(unsigned char *, lyn_dev_t), const char *what) {
    std::array<unsigned char, N> buf{};
    int rc;
    {
      py::gil_scoped_release nogil;
      rc = fn(buf.data(), dev_);
    }
    check_robot(rc, what);
    return buf;
  }

  py::tuple battery() {
    auto raw = read<TR4_BATTERY_BYTES>(tr4_battery_status, "reading the battery");
    tr4_battery_t b{};
    tr4_decode_battery(raw.data(), &b);
    return py::make_tuple(b.voltage_v, b.current_a, b.temperature_c, b.charge_percent,
                          b.charging != 0, b.remaining_mah, b.capacity_mah, b.present != 0);
  }

  py::tuple imu() {
    auto acc = read<TR4_ACC_BYTES>(tr4_measure_acc, "reading the accelerometer");
    auto gyro = read<TR4_GYRO_BYTES>(tr4_measure_gyro, "reading the gyroscope");
    tr4_vector3_t a{}, g{};
    tr4_decode_acc(acc.data(), &a);
    tr4_decode_gyro(gyro.data(), &g);
    return py::make_tuple(py::make_tuple(a.x, a.y, a.z), py::make_tuple(g.x, g.y, g.z));
  }

  std::vector<int> infrared(bool ambient) {
    auto raw = ambient ? read<TR4_IR_BYTES>(tr4_ambiant_ir, "reading the ambient light")
                       : read<TR4_IR_BYTES>(tr4_proximity_ir, "reading the infrared sensors");
    std::vector<int> level(TR4_IR_COUNT);
    tr4_decode_ir(raw.data(), level.data());
    return level;
  }

  std::vector<double> ultrasonic() {
    auto raw = read<TR4_US_BYTES>(tr4_measure_us, "reading the ultrasonic sensors");
    std::vector<double> range(TR4_US_COUNT);
    tr4_decode_us(raw.data(), range.data());
    return range;
  }

  void rgb_leds(const std::array<int, 9> &c) {
    check_robot(tr4_SetRGBLeds(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], dev_),
                "setting the LEDs");
  }

  int revision() {
    unsigned char rev = 0;
    check_robot(tr4_revision(&rev, dev_), "reading the firmware revision");
    return rev;
  }

 private:
  lyn_dev_t dev_ = nullptr;
  tr4_odometry_t odo_{};
};

// ---- range finder ----

// vx_lrf_DistanceData is one array for every sensor: a scan and its copy go together.
std::mutex g_lrf_mutex;

int lrf_power(bool on) {
  ensure_started();
  const int rc = on ? vx_lrf_Power_On() : vx_lrf_Power_Off();
  check_errno(rc, on ? "switching the range finder on" : "switching the range finder off");
  return rc;
}

class RangeFinder {
 public:
  explicit RangeFinder(const std::string &port) : port_(port) {
    ensure_started();
    int rc;
    {
      py::gil_scoped_release nogil;
      rc = vx_lrf_Init(port.c_str());
    }
    check_errno(rc, "the range finder on " + port);
    handle_ = rc;
  }

  // Ranges in metres, NaN where the sensor measured none.
  py::array_t<float> scan() {
    if (handle_ < 0) fail("Error", EBADF, "the range finder is closed");
    py::array_t<float> out(VX_LRF_DISTANCES);
    float *dst = out.mutable_data();
    int rc;
    {
      py::gil_scoped_release nogil;
      std::lock_guard lock(g_lrf_mutex);
      rc = vx_lrf_GetDistances(handle_);
      if (rc == 0)
        for (int i = 0; i < VX_LRF_DISTANCES; ++i)
          dst[i] =
              vx_lrf_DistanceData[i] > 0 ? static_cast<float>(vx_lrf_DistanceData[i]) * 1e-3f : NAN;
    }
    check_errno(rc, "a scan of the range finder on " + port_);
    return out;
  }

  void close() {
    if (handle_ < 0) return;
    {
      py::gil_scoped_release nogil;
      vx_lrf_Close(handle_);
    }
    handle_ = -1;
    flush_reports();
  }

  bool closed() const { return handle_ < 0; }

 private:
  std::string port_;
  int handle_ = -1;
};

// ---- camera ----

const char *camera_init_text(int rc) {
  switch (rc) {
    case VX_CAMERA_INIT_NOT_VIDEO:
      return "the node refuses the capability query";
    case VX_CAMERA_INIT_NO_CAPTURE:
      return "the node cannot capture";
    case VX_CAMERA_INIT_NO_STREAMING:
      return "the node cannot stream";
    case VX_CAMERA_INIT_NO_NODE:
      return "no camera node " VX_CAMERA_DEVICE;
    case VX_CAMERA_INIT_PIPES_NOT_RUN:
      return "media-pipes.sh could not run";
    case VX_CAMERA_INIT_PIPES_FAILED:
      return "media-pipes.sh failed";
    case VX_CAMERA_INIT_FORMATS_NOT_RUN:
      return "media-formats.sh could not run";
    case VX_CAMERA_INIT_FORMATS_FAILED:
      return "media-formats.sh failed";
    case VX_CAMERA_EBUFFERS:
      return "the capture buffers could not be set up";
    default:
      return "the capture node refused a request";
  }
}

const char *camera_take_text(int rc) {
  switch (rc) {
    case VX_CAMERA_TAKE_NOT_OPEN:
      return "no camera is open";
    case VX_CAMERA_TAKE_NOT_SET_UP:
      return "the camera is not set up";
    case VX_CAMERA_TAKE_START_FAILED:
      return "the stream did not start";
    case VX_CAMERA_TAKE_STOP_FAILED:
      return "the stream did not stop";
    case VX_CAMERA_TAKE_NO_FRAME:
      return "no frame came";
    default:
      return "the capture failed";
  }
}

bool g_camera_open = false;

class Camera {
 public:
  Camera(int width, int height) : width_(width), height_(height) {
    if (g_camera_open) fail("Error", EBUSY, "the camera is already open in this process");
    ensure_started();
    int rc;
    {
      py::gil_scoped_release nogil;
      rc = vx_camera_init(&width_, &height_);
    }
    if (rc < 0) {
      vx_camera_release();
      fail(rc == VX_CAMERA_INIT_NO_NODE ? "DeviceNotFound" : "Error", rc, camera_init_text(rc));
    }
    flush_reports();
    open_ = g_camera_open = true;
  }

  // One frame, packed RGB, converted by the library straight into the array.
  py::array_t<std::uint8_t> frame() {
    if (!open_) fail("Error", VX_CAMERA_TAKE_NOT_OPEN, "the camera is closed");
    py::array_t<std::uint8_t> out({height_, width_, 3});
    std::uint8_t *dst = out.mutable_data();
    int rc;
    {
      py::gil_scoped_release nogil;
      rc = take_one_image(dst);
    }
    if (rc != VX_CAMERA_OK)
      fail(rc == VX_CAMERA_TAKE_NO_FRAME ? "Timeout" : "Error", rc, camera_take_text(rc));
    flush_reports();
    return out;
  }

  void close() {
    if (!open_) return;
    vx_camera_release();
    open_ = g_camera_open = false;
  }

  int width() const { return width_; }
  int height() const { return height_; }
  bool closed() const { return !open_; }

 private:
  int width_, height_;
  bool open_ = false;
};

py::bytes encode_jpeg(py::array_t<std::uint8_t, py::array::c_style> rgb, int quality) {
  if (rgb.ndim() != 3 || rgb.shape(2) != 3)
    fail("ArgumentError", VX_CAMERA_ENCODE_BAD_SIZE, "a frame is an H x W x 3 array of uint8");
  if (quality < 0 || quality > 100)
    fail("ArgumentError", VX_CAMERA_ENCODE_BAD_QUALITY, "the JPEG quality is 0 to 100");
  const unsigned char *src = rgb.data();
  const auto height = static_cast<int>(rgb.shape(0)), width = static_cast<int>(rgb.shape(1));
  unsigned char *jpeg = nullptr;
  std::size_t size = 0;
  int rc;
  {
    py::gil_scoped_release nogil;
    rc = vx_camera_encode_jpeg(src, width, height, quality, &jpeg, &size);
  }
  if (rc != VX_CAMERA_OK)
    fail(rc == VX_CAMERA_ENCODE_BAD_SIZE ? "ArgumentError" : "Error", rc,
         rc == VX_CAMERA_ENCODE_BAD_SIZE ? "the frame's size cannot be a JPEG image"
                                         : "JPEG compression failed");
  py::bytes out(reinterpret_cast<const char *>(jpeg), size);
  vx_camera_free_jpeg(jpeg);
  return out;
}

// ---- StarGazer ----

class StarGazer {
 public:
  StarGazer() {
    ensure_started();
    int rc;
    {
      py::gil_scoped_release nogil;
      rc = vx_stargazer_Init();
      if (rc == 0) rc = vx_gazer_start_computation() == 0 ? 0 : -4;
    }
    if (rc != 0) {
      vx_stargazer_Close();
      if (rc == -2) fail("DeviceNotFound", rc, "the StarGazer's port /dev/ttyO0 cannot be opened");
      fail("Timeout", rc,
           rc == -3 ? "the StarGazer does not answer" : "the StarGazer does not start computing");
    }
    open_ = true;
  }

  // The next position (x, y, height in cm, heading in degrees, landmark), None in the dead
  // zone; waits up to `timeout_s` for one.
  py::object position(bool corrected, double timeout_s) {
    if (!open_) fail("Error", VX_GAZER_POLL_NOT_OPEN, "the StarGazer is closed");
    vx_stargazer_position_t p{};
    int rc, error = 0;
    {
      py::gil_scoped_release nogil;
      timespec start{}, now{};
      clock_gettime(CLOCK_MONOTONIC, &start);
      const timespec pause{0, 5000000};
      for (;;) {
        rc = vx_stargazer_poll(&p, corrected ? 1 : 0);
        error = errno;
        if (rc != VX_GAZER_POLL_NOTHING_NEW) break;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (static_cast<double>(now.tv_sec - start.tv_sec) +
                static_cast<double>(now.tv_nsec - start.tv_nsec) * 1e-9 >=
            timeout_s)
          break;
        nanosleep(&pause, nullptr);
      }
    }
    if (rc == VX_GAZER_POLL_DEAD_ZONE) return py::none();
    if (rc == VX_GAZER_POLL_NOTHING_NEW) fail("Timeout", rc, "no position from the StarGazer");
    if (rc != VX_GAZER_POLL_POSITION)
      fail("Error", rc, std::string("reading the StarGazer failed: ") + std::strerror(error));
    return py::make_tuple(p.x, p.y, p.height, p.angle, p.id);
  }

  // The calibration's five parameters and two residuals (cm, degrees).
  py::tuple calibrate(Robot &robot) {
    if (!open_) fail("Error", VX_GAZER_POLL_NOT_OPEN, "the StarGazer is closed");
    std::array<double, 7> v{};
    int first = 0, rc;
    {
      py::gil_scoped_release nogil;
      // Its first reading takes what is waiting, without waiting itself: a record (ten a second)
      // must have come since position() took the last one.
      const timespec record{0, 200000000};
      nanosleep(&record, nullptr);
      rc = vx_gazer_calibrate(robot.dev(), &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &first);
    }
    py::tuple values = py::make_tuple(v[0], v[1], v[2], v[3], v[4], v[5], v[6]);
    switch (rc) {
      case VX_GAZER_CAL_DONE:
        return values;
      case VX_GAZER_CAL_NO_TURN:
        fail("CalibrationError", rc, "the robot did not come back to its start heading in 60 s");
      case VX_GAZER_CAL_NO_START:
        fail("CalibrationError", rc,
             "the first reading gave no position (" + std::to_string(first) + ")");
      case VX_GAZER_CAL_FIT_FAILED:
        fail("CalibrationError", rc, "no ellipse fits the positions");
      default:
        fail("CalibrationError", rc, "the fit is poor (a residual above 5 cm); it is in force",
             values);
    }
  }

  void close() {
    if (!open_) return;
    {
      py::gil_scoped_release nogil;
      vx_gazer_stop_computation();
      vx_stargazer_Close();
    }
    open_ = false;
  }

  bool closed() const { return !open_; }

 private:
  bool open_ = false;
};

// ---- the claim ----

void claim(const std::string &name) {
  char holder[256] = "";
  const int rc = tr4_claim(name.c_str(), holder, sizeof holder);
  const int error = errno;
  if (rc == TR4_CLAIM_BUSY)
    fail("RobotBusy", -rc, std::string("the robot is in use by ") + holder, py::str(holder));
  if (rc != TR4_CLAIM_TAKEN)
    fail("Error", -rc, std::string("the robot's claim cannot be taken: ") + std::strerror(error));
}

}  // namespace

PYBIND11_MODULE(_tarsa, m) {
  m.doc() = "The library's calls, for the tarsa package (use tarsa, not this module).";
  m.def("init", &init, py::arg("argv"));
  m.def("started", [] { return g_started; });
  m.def("claim", &claim, py::arg("name"));
  m.def("unclaim", [] { tr4_unclaim(); });

  m.attr("WHEEL_BASE_MM") = TR4_WHEEL_BASE_MM;
  m.attr("MM_PER_UNIT") = TR4_MM_PER_UNIT;
  m.attr("SPEED_UNITS_MAX") = TR4_SPEED_UNITS_MAX;
  m.attr("IR_SPACING_DEG") = TR4_IR_SPACING_DEG;
  m.attr("US_BEARINGS_DEG") = std::vector<int> TR4_US_BEARINGS_DEG;
  m.attr("LRF_DISTANCES") = VX_LRF_DISTANCES;
  m.def("wheel_speeds", [](double v, double w) {
    auto s = tr4_wheel_speeds(v, w);
    return std::make_pair(s.left, s.right);
  });
  m.def("speed_units", &tr4_speed_units);

  py::class_<Robot>(m, "Robot")
      .def(py::init<>())
      .def("drive_start", &Robot::drive_start)
      .def("set_mode", &Robot::set_mode)
      .def("set_speed", &Robot::set_speed)
      .def("stop", &Robot::stop)
      .def("odometry", &Robot::odometry)
      .def("position", [](Robot &r) { return r.pair(tr4_get_position, "reading the encoders"); })
      .def("speed", [](Robot &r) { return r.pair(tr4_get_speed, "reading the wheel speeds"); })
      .def("battery", &Robot::battery)
      .def("imu", &Robot::imu)
      .def("infrared", &Robot::infrared, py::arg("ambient") = false)
      .def("ultrasonic", &Robot::ultrasonic)
      .def("rgb_leds", &Robot::rgb_leds)
      .def("revision", &Robot::revision);

  m.def("lrf_power", &lrf_power, py::arg("on"));
  py::class_<RangeFinder>(m, "RangeFinder")
      .def(py::init<const std::string &>())
      .def("scan", &RangeFinder::scan)
      .def("close", &RangeFinder::close)
      .def_property_readonly("closed", &RangeFinder::closed);

  py::class_<Camera>(m, "Camera")
      .def(py::init<int, int>())
      .def("frame", &Camera::frame)
      .def("close", &Camera::close)
      .def_property_readonly("width", &Camera::width)
      .def_property_readonly("height", &Camera::height)
      .def_property_readonly("closed", &Camera::closed);
  m.def("encode_jpeg", &encode_jpeg, py::arg("rgb"), py::arg("quality"));

  py::class_<StarGazer>(m, "StarGazer")
      .def(py::init<>())
      .def("position", &StarGazer::position)
      .def("calibrate", &StarGazer::calibrate)
      .def("close", &StarGazer::close)
      .def_property_readonly("closed", &StarGazer::closed);

  m.def("gpio_dir", [](int pin, bool input, int value) {
    ensure_started();
    check_errno(vx_gpio_dir_val(pin, input ? 1 : 0, value), "GPIO " + std::to_string(pin));
  });
  m.def("gpio_write", [](int pin, bool high) {
    if ((high ? vx_gpio_set(pin) : vx_gpio_clear(pin)) != 0)
      check_errno(-errno, "GPIO " + std::to_string(pin));
    flush_reports();
  });
  m.def("gpio_read", [](int pin) {
    const int rc = vx_gpio_get(pin);
    check_errno(rc, "GPIO " + std::to_string(pin));
    return rc != 0;
  });
  m.def("pwm", [](const std::string &op, int out, int value) {
    ensure_started();
    int rc = -EINVAL;
    if (op == "period") rc = vx_pwm_period(out, value);
    if (op == "duty") rc = vx_pwm_duty(out, value);
    if (op == "start") rc = vx_pwm_activate(out);
    if (op == "stop") rc = vx_pwm_desactivate(out);
    check_errno(rc, "PWM output " + std::to_string(out));
  });
}
