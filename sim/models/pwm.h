// sysfs PWM chip: the files of the chip and of each exported channel, with the kernel's checks.
// Channel settings are shared by every process of the run.
//
// Scenario: [pwm] (model = "pwm", the default) with the keys below.
// Files: <chip>/export and unexport (write-only) take a channel number: ENODEV beyond npwm or
// for unexporting a channel that is not exported, EBUSY for exporting one twice, EINVAL for text
// that is not a number; npwm (read-only). <chip>/pwmN/ exists while channel N is exported:
// period and duty_cycle (ns), enable (0 or 1) and polarity (normal or inversed) read back with a
// newline. EINVAL for a duty cycle above the period, a period below the duty cycle or of 0 while
// enabled, and enabling without a period; EBUSY for changing the polarity while enabled.
// Numbers are read as the kernel's kstrtou64 does (decimal, 0x hex, 0 octal, one newline).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../model_entry.h"
#include "../sysfs_model.h"

namespace tsim {

class Board;

class PwmChip final : public SysfsModel {
 public:
  static constexpr int kMaxChannels = 16;
  static constexpr std::array kKeys{
      Key{.name = "chip",
          .type = Key::Type::string,
          .def = "/sys/class/pwm/pwmchip0",
          .doc = "the chip's sysfs directory"},
      Key{"npwm", Key::Type::integer, 1, kMaxChannels, 2, "channels of the chip"},
  };

  PwmChip(const ModelEntry &entry, Board &board);

  // Every path of the tree, channel directories and files included.
  const std::vector<File> &files() const override { return files_; }
  // A channel's directory and files: while it is exported.
  bool present(std::string_view path) const override;
  int read(std::string_view path, std::string *text) const override;
  int write(std::string_view path, std::string_view text) override;
  bool exported(int channel) const;

 private:
  struct State {
    std::uint8_t exported[kMaxChannels];
    std::uint8_t enabled[kMaxChannels];
    std::uint8_t inversed[kMaxChannels];
    std::uint64_t period[kMaxChannels];
    std::uint64_t duty[kMaxChannels];
  };
  // The channel (-1 for the chip) and attribute ("" for a directory) of a path of the tree.
  bool split(std::string_view path, int *channel, std::string_view *attr) const;

  std::string chip_;
  int npwm_;
  State *state_;
  std::vector<File> files_;
};

}  // namespace tsim
