// The bridge's live settings and services.
#include "controls.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "channels.h"

namespace bridge {

namespace {

using nlohmann::json;

// ---- the recording ----

void say_recorded(const RecordingSwitch::Result &r) {
  std::printf("tarsa-bridge: recorded %llu messages to %s (%llu dropped)\n",
              static_cast<unsigned long long>(r.recorded), r.path.c_str(),
              static_cast<unsigned long long>(r.dropped));
  std::fflush(stdout);
}

// ---- the parameters ----

// The [bridge] keys that change while the bridge runs, in the order they are listed.
struct Live {
  const char *key;
  bool needs_camera = false;
};
constexpr Live kLive[] = {
    {"max_linear"},
    {"max_angular"},
    {"max_linear_accel"},
    {"max_angular_accel"},
    {"watchdog_ms"},
    {"safety_distance_m"},
    {"camera_rate", true},
    {"camera_size", true},
    {"camera_quality", true},
    {"lrf"},
    {"camera"},
    {"stargazer"},
};

class Parameters {
 public:
  Parameters(Robot &robot, const Options &settings) : robot_(robot), now_(settings) {
    // What streams is what answered at the start.
    now_.robot.lrf = robot.sensors().scan;
    now_.robot.camera = robot.sensors().camera;
    now_.robot.stargazer = robot.sensors().stargazer;
  }

  std::vector<ParameterValue> values() const {
    std::lock_guard lock(mutex_);
    const RobotOptions &r = now_.robot;
    std::vector<ParameterValue> list;
    for (const Live &l : kLive) {
      if (!offered(l)) continue;
      const std::string key = l.key;
      json v;
      if (key == "max_linear") v = r.limits.max_linear;
      if (key == "max_angular") v = r.limits.max_angular;
      if (key == "max_linear_accel") v = r.limits.max_linear_accel;
      if (key == "max_angular_accel") v = r.limits.max_angular_accel;
      if (key == "safety_distance_m") v = r.limits.safety_distance_m;
      if (key == "watchdog_ms") v = r.limits.watchdog_ms;
      if (key == "camera_rate") v = r.camera_rate;
      if (key == "camera_size")
        v = std::to_string(r.camera_width) + "x" + std::to_string(r.camera_height);
      if (key == "camera_quality") v = r.camera_quality;
      if (key == "lrf") v = r.lrf;
      if (key == "camera") v = r.camera;
      if (key == "stargazer") v = r.stargazer;
      list.push_back({key, v.dump(), setting_kind(key) == Kind::number});
    }
    return list;
  }

  std::string set(const ParameterValue &p) {
    std::lock_guard lock(mutex_);
    const Live *live = nullptr;
    for (const Live &l : kLive)
      if (p.name == l.key && offered(l)) live = &l;
    if (!live) return "not a setting that changes while the bridge runs";
    const Kind kind = *setting_kind(p.name);
    const json v = json::parse(p.json, nullptr, false);
    const bool fits = kind == Kind::boolean  ? v.is_boolean()
                      : kind == Kind::string ? v.is_string()
                                             : v.is_number();
    if (!fits) return std::string("wants ") + kind_name(kind);
    const std::string text = v.is_string() ? v.get<std::string>() : v.dump();
    Options trial = now_;
    if (std::string why = apply_setting(trial, p.name, text.c_str()); !why.empty()) return why;

    RobotOptions &r = trial.robot;
    const std::string &key = p.name;
    if (key == "camera_rate") {
      robot_.set_camera_rate(r.camera_rate);
    } else if (key == "camera_quality") {
      robot_.set_camera_quality(r.camera_quality);
    } else if (key == "camera_size") {
      std::string why;
      if (!robot_.set_camera_size(&r.camera_width, &r.camera_height, &why))
        return "the camera refused it: " + why;
    } else if (key == "lrf" || key == "camera" || key == "stargazer") {
      const bool present[] = {robot_.sensors().scan, robot_.sensors().camera,
                              robot_.sensors().stargazer};
      const Robot::Optional which = key == "lrf"      ? Robot::kScanStream
                                    : key == "camera" ? Robot::kCameraStream
                                                      : Robot::kStarGazerStream;
      const bool on = v.get<bool>();
      if (on && !present[which]) return "the sensor did not answer at start-up";
      robot_.set_streaming(which, on);
    } else {
      robot_.set_limits(r.limits);
    }
    now_ = std::move(trial);
    return {};
  }

 private:
  bool offered(const Live &l) const { return !l.needs_camera || robot_.sensors().camera; }

  Robot &robot_;
  mutable std::mutex mutex_;
  Options now_;  // the settings in force
};

// ---- the services ----

constexpr const char *kEmptySchema =
    R"({"type":"object","properties":{},"additionalProperties":false})";

ServiceResult respond(const json &j) {
  return {true, j.dump(-1, ' ', false, json::error_handler_t::replace)};
}

ServiceResult fail(std::string why) {
  return {false, std::move(why)};
}

// The request as a JSON object; an empty request stands for {}.
std::optional<json> request_object(std::string_view text, std::string *why) {
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) return json::object();
  json j = json::parse(text, nullptr, false);
  if (!j.is_object()) {
    *why = "the request is not a JSON object";
    return std::nullopt;
  }
  return j;
}

std::vector<Service> services(Robot &robot, RecordingSwitch &recording) {
  std::vector<Service> list;
  list.push_back(
      {{1, "start_recording", "tarsa.StartRecording",
        R"({"type":"object","properties":{"path":{"type":"string","description":"the MCAP file to write; default: tarsa-YYYYMMDD-HHMMSS.mcap (UTC) in the bridge's working directory"}},"additionalProperties":false})",
        R"({"type":"object","properties":{"path":{"type":"string"}},"required":["path"]})"},
       [&recording](std::string_view text) {
         std::string why;
         auto req = request_object(text, &why);
         if (!req) return fail(why);
         std::string path = default_recording_name();
         if (auto p = req->find("path"); p != req->end()) {
           if (!p->is_string() || p->get<std::string>().empty())
             return fail("path must be a file name");
           path = p->get<std::string>();
         }
         if (int r = recording.start(path); r == -EBUSY)
           return fail("already recording to " + recording.path());
         else if (r < 0)
           return fail("cannot record to " + path + ": " + std::strerror(-r));
         std::printf("tarsa-bridge: recording to %s\n", path.c_str());
         std::fflush(stdout);
         return respond({{"path", path}});
       }});
  list.push_back(
      {{2, "stop_recording", "tarsa.StopRecording", kEmptySchema,
        R"({"type":"object","properties":{"path":{"type":"string"},"recorded":{"type":"integer","description":"messages written"},"dropped":{"type":"integer","description":"messages lost: the disk could not keep up, or a write failed"}},"required":["path","recorded","dropped"]})"},
       [&recording](std::string_view) {
         RecordingSwitch::Result r;
         if (!recording.stop(&r)) return fail("not recording");
         if (r.error < 0)
           return fail("recording to " + r.path + " failed: " + std::strerror(-r.error));
         return respond({{"path", r.path}, {"recorded", r.recorded}, {"dropped", r.dropped}});
       }});
  list.push_back({{3, "reset_odometry", "tarsa.ResetOdometry", kEmptySchema, kEmptySchema},
                  [&robot](std::string_view) {
                    if (!robot.reset_odometry()) return fail("the robot loop did not take it");
                    return respond(json::object());
                  }});
  list.push_back(
      {{4, "snapshot", "tarsa.Snapshot", kEmptySchema,
        R"({"type":"object","properties":{"format":{"type":"string","const":"jpeg"},"width":{"type":"integer"},"height":{"type":"integer"},"data":{"type":"string","contentEncoding":"base64","description":"the JPEG image"}},"required":["format","width","height","data"]})"},
       [&robot](std::string_view) {
         if (!robot.sensors().camera) return fail("no camera on this robot");
         auto frame = robot.snapshot();
         if (!frame) return fail("no camera frame yet");
         return respond({{"format", "jpeg"},
                         {"width", frame->width},
                         {"height", frame->height},
                         {"data", base64(frame->jpeg)}});
       }});
  return list;
}

}  // namespace

int RecordingSwitch::start(const std::string &path) {
  std::lock_guard control(control_);
  {
    std::shared_lock lock(mutex_);
    if (recorder_) return -EBUSY;
  }
  auto recorder = std::make_unique<Recorder>(compression_, metadata_);
  if (int r = recorder->start(path, channels_); r < 0) return r;
  std::unique_lock lock(mutex_);
  recorder_ = std::move(recorder);
  path_ = path;
  return 0;
}

bool RecordingSwitch::stop(Result *result) {
  std::lock_guard control(control_);
  std::unique_ptr<Recorder> recorder;
  {
    std::unique_lock lock(mutex_);
    recorder = std::move(recorder_);
    result->path = path_;
  }
  if (!recorder) return false;
  // No publisher holds it any more: what it has queued is written, and the file closed.
  result->error = recorder->stop();
  result->recorded = recorder->recorded();
  result->dropped = recorder->dropped();
  if (result->error < 0) {
    std::fprintf(stderr, "tarsa-bridge: recording to %s failed: %s\n", result->path.c_str(),
                 std::strerror(-result->error));
  } else {
    say_recorded(*result);
  }
  return true;
}

int RecordingSwitch::finish() {
  Result r;
  return stop(&r) && r.error < 0 ? 1 : 0;
}

std::string RecordingSwitch::path() const {
  std::shared_lock lock(mutex_);
  return recorder_ ? path_ : std::string();
}

void RecordingSwitch::publish(const Sample &sample) {
  std::shared_lock lock(mutex_);
  if (recorder_) recorder_->publish(sample);
}

void RecordingSwitch::count(DiagnosticsSample &d) const {
  std::shared_lock lock(mutex_);
  if (recorder_) recorder_->count(d);
}

std::string default_recording_name() {
  const time_t now = time(nullptr);
  tm utc{};
  gmtime_r(&now, &utc);
  char stem[64];
  std::strftime(stem, sizeof stem, "tarsa-%Y%m%d-%H%M%S", &utc);
  std::string name = std::string(stem) + ".mcap";
  for (int n = 2; access(name.c_str(), F_OK) == 0; ++n)
    name = std::string(stem) + "-" + std::to_string(n) + ".mcap";
  return name;
}

Controls make_controls(Robot &robot, const Options &settings, RecordingSwitch &recording) {
  auto params = std::make_shared<Parameters>(robot, settings);
  return {[params] { return params->values(); },
          [params](const ParameterValue &v) { return params->set(v); }, services(robot, recording)};
}

}  // namespace bridge
