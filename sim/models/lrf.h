// Laser range finder on a USB serial node (model = "scip_lrf"): a 240-degree scanner of 1024
// steps per turn, measuring steps 44 to 725 with its front (step 384) along the robot's heading,
// seen from the robot's centre. It speaks SCIP 2.0 at 115200 baud.
//
// Framing: a command is one line ended by LF (or CR). Every reply echoes the command line, then a
// status line of two characters and their check character (the low 6 bits of the sum of the
// line's bytes, plus 0x30), then data lines, then an empty line. Info lines read
// "KEY:VALUE;C", C covering the bytes before ';'. Scans come as a time stamp line (4 characters,
// the board's milliseconds) and blocks of 64 characters, each followed by its check character.
// A command may carry a tag after ';' (up to 16 characters); the echo repeats it.
//
// Commands and statuses:
//   QT                 stops streaming, laser off                          00
//   BM                 laser on                                            00, 02 when on already
//   PP  VV  II         parameters, version, state as info lines            00
//   GDssssEEEEcc       one scan of steps ssss to EEEE, cc steps a value    00 (10 laser off)
//   MDssssEEEEccinn    nn scans (00: until QT), one every i+1 turns of     00, then each scan
//                      100 ms; each scan's echo has nn counted down;       with status 99
//                      switches the laser on
//   GD/MD refusals: 01 start, 02 end, 03 cluster, 06 interval, 07 count not a number;
//   04 a step outside 44-725; 05 end before start; 0C a parameter line of another length.
//   Anything else: 0E. Empty lines are ignored.
// Values: 3 characters of 6 bits each (value + 0x30 per character, most significant first); the
// nearest wall along the step's ray (World::ray) plus uniform noise, at most 5600 mm; the error
// code 1 where no wall lies within range. A cluster gives the nearest of its steps.
//
// Timing: every reply line goes out once the line before it has had its time on the wire, 10
// bits per byte at 115200 baud (about 86.8 us a byte; a full GD reply of some 2130 bytes takes
// about 185 ms).
//
// Power: the node is absent until the power pin has been high for `enumeration_ms`; with the pin
// low the sensor is dead: it neither answers nor streams, and its laser goes off.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../scenario.h"
#include "../serial_model.h"

namespace tsim {

class Board;
class World;

class LrfModel final : public SerialModel {
 public:
  static constexpr int kStepsPerTurn = 1024;
  static constexpr int kFirstStep = 44, kLastStep = 725, kFrontStep = 384;
  static constexpr int kMaxRange = 5600;  // mm
  static constexpr int kNoReturn = 1;     // error code of a step without a wall in range
  static constexpr double kByteUs = 1e6 * 10 / 115200;
  static constexpr std::uint64_t kScanUs = 100000;  // one turn of the mirror

  static constexpr std::array kKeys{
      Key{"power_gpio", Key::Type::integer, -1, 255, 87,
          "pin (one the board has) whose high level powers the sensor; -1: always powered"},
      Key{"enumeration_ms", Key::Type::integer, 0, 60000, 800,
          "from power-on until the node appears"},
      Key{"noise_mm", Key::Type::number, 0, 500, 10, "ranges vary within +- this many mm"},
      // A fault: "none", "bad_check" (one data line's check character is wrong; the status
      // line's in a reply without data), "drop_line" (one data line, else the status line, is
      // left out) or "silent" (no reply at all).
      Key{.name = "fault",
          .type = Key::Type::string,
          .def = "none",
          .doc = "\"none\", \"bad_check\", \"drop_line\" or \"silent\""},
      // The command whose replies the fault hits (two letters, e.g. "GD"); "" for every command.
      Key{.name = "fault_command",
          .type = Key::Type::string,
          .def = "",
          .doc = "the command the fault hits, one the sensor knows (\"GD\"); \"\": every command"},
      // Replies to that command answered well before the fault strikes, and replies it hits
      // (0: every one from there on). MD counts each scan as a reply.
      Key{"fault_skip", Key::Type::integer, 0, 1000000, 0, "replies answered well first"},
      Key{"fault_count", Key::Type::integer, 0, 1000000, 0, "replies hit (0: all from there)"},
  };

  enum class Fault { none, bad_check, drop_line, silent };

  LrfModel(const ModelEntry &entry, Board &board);
  ~LrfModel() override;

  void received(std::span<const std::uint8_t> bytes, std::uint64_t now_us) override;
  std::uint64_t output(std::uint64_t now_us, std::vector<std::string> &due) override;
  bool present(std::uint64_t now_us) override;

 private:
  // Shared by every process of the run: one sensor.
  struct State {
    std::uint64_t powered_at;  // when the power pin went high
    std::uint64_t draws;       // noise values drawn
    std::uint64_t replies;     // replies to the fault's command so far
    std::uint8_t powered;
    std::uint8_t laser;
  };
  struct Pending {
    std::uint64_t due_us;
    std::string bytes;
  };
  struct Scan {
    int first = 0, last = 0, cluster = 1;
  };

  bool powered();
  void on_power(int level);
  void command(const std::string &line, std::uint64_t now_us);
  // Parses "ssssEEEEcc" (and "inn" for MD) of `params`; the status of a refusal, or "".
  std::string_view scan_params(std::string_view params, bool stream, Scan &scan, int &interval,
                               int &count) const;
  std::string scan_data(const Scan &scan, std::uint64_t now_us);
  // Queues echo, status and `lines` as a reply to `name`, the fault applied.
  void reply(std::string_view name, const std::string &echo, std::string_view status,
             std::vector<std::string> lines, std::uint64_t now_us);
  void stop();
  double noise();

  Board &board_;
  std::shared_ptr<World> world_;
  std::shared_ptr<LrfModel *> self_;  // cleared on destruction: the GPIO callback may outlive us
  State *state_;
  int power_pin_;
  std::uint64_t enumeration_us_;
  double noise_mm_;
  Fault fault_;
  std::string fault_command_;
  std::uint64_t fault_skip_, fault_count_;

  // This process's side of the line.
  std::string input_;
  std::deque<Pending> pending_;
  std::uint64_t line_free_us_ = 0;  // when the last queued byte has left
  // Streaming ("MD"): echo without its count, scan, period, scans left (-1: until QT).
  bool streaming_ = false;
  std::string stream_echo_, stream_tag_;
  Scan stream_scan_;
  std::uint64_t stream_period_us_ = 0, stream_next_us_ = 0;
  int stream_left_ = 0;
};

}  // namespace tsim
