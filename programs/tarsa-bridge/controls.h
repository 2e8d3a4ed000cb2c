// The bridge's live settings and services, as the Foxglove server offers them: parameters named
// as the [bridge] keys and checked as the configuration file's values are, and the recording,
// odometry and camera services.
#pragma once

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "options.h"
#include "recorder.h"
#include "robot.h"
#include "server.h"

namespace bridge {

// The recording that services start and stop: a front-end attached once, passing samples to the
// recording in progress, if any.
class RecordingSwitch : public FrontEnd {
 public:
  // Each recording is compressed as `compression` and starts with the `metadata` records.
  RecordingSwitch(std::vector<Channel> channels, Compression compression,
                  std::vector<RecordMetadata> metadata)
      : channels_(std::move(channels)), compression_(compression), metadata_(std::move(metadata)) {}
  ~RecordingSwitch() override { finish(); }

  // Starts recording to `path`: 0 or a negated errno; -EBUSY while a recording runs.
  int start(const std::string &path);
  struct Result {
    std::string path;
    std::uint64_t recorded = 0, dropped = 0;
    int error = 0;  // the recording's first write error (negated errno), 0 if none
  };
  // Ends the recording in progress, saying on the log what it recorded; false when none runs.
  bool stop(Result *result);
  // Ends the recording in progress, if any, as the program ends: its exit status (1 when the
  // recording failed).
  int finish();
  std::string path() const;

  void publish(const Sample &sample) override;
  void count(DiagnosticsSample &d) const override;

 private:
  std::vector<Channel> channels_;
  Compression compression_;
  std::vector<RecordMetadata> metadata_;
  mutable std::shared_mutex mutex_;  // shared by publishers, exclusive to start and stop
  std::unique_ptr<Recorder> recorder_;
  std::string path_;
  std::mutex control_;  // one start or stop at a time
};

// The parameters and services of `robot` for the server. `settings` are the ones the bridge
// started with.
Controls make_controls(Robot &robot, const Options &settings, RecordingSwitch &recording);

// A recording's default name, in the working directory: tarsa-YYYYMMDD-HHMMSS.mcap (UTC), with
// -2, -3, ... before the extension when that file exists.
std::string default_recording_name();

}  // namespace bridge
