// sysfs PWM chip: the files of the chip and of each exported channel, with the kernel's checks.
// Channel settings are shared by every process of the run.
//
// Scenario: [pwm] chip = "/sys/class/pwm/pwmchip0", npwm = 2 (1 to 16 channels).
// Files: <chip>/export and unexport (write-only) take a channel number: ENODEV beyond npwm or
// for unexporting a channel that is not exported, EBUSY for exporting one twice, EINVAL for text
// that is not a number; npwm (read-only). <chip>/pwmN/ exists while channel N is exported:
// period and duty_cycle (ns), enable (0 or 1) and polarity (normal or inversed) read back with a
// newline. EINVAL for a duty cycle above the period, a period below the duty cycle or of 0 while
// enabled, and enabling without a period; EBUSY for changing the polarity while enabled.
// Numbers are read as the kernel's kstrtou64 does (decimal, 0x hex, 0 octal, one newline).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../scenario.h"

namespace tsim {

class Board;

class PwmChip {
 public:
  struct File {
    std::string path;
    unsigned mode;
    bool dir;
    int channel;  // -1 for the chip's own
  };

  PwmChip(const PwmRecord &rec, Board &board);

  // Every path of the tree, channel directories and files included.
  const std::vector<File> &files() const { return files_; }
  bool exported(int channel) const;
  // The text of the file at `path`, or an errno value.
  int read(std::string_view path, std::string *text) const;
  // Writes `text` to the file at `path`: 0 or an errno value.
  int write(std::string_view path, std::string_view text);

 private:
  struct State {
    std::uint8_t exported[PwmRecord::kMaxChannels];
    std::uint8_t enabled[PwmRecord::kMaxChannels];
    std::uint8_t inversed[PwmRecord::kMaxChannels];
    std::uint64_t period[PwmRecord::kMaxChannels];
    std::uint64_t duty[PwmRecord::kMaxChannels];
  };
  // The channel (-1 for the chip) and attribute ("" for a directory) of a path of the tree.
  bool split(std::string_view path, int *channel, std::string_view *attr) const;

  std::string chip_;
  int npwm_;
  State *state_;
  std::vector<File> files_;
};

}  // namespace tsim
