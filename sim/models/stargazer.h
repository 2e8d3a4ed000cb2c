// Model of the StarGazer ceiling-landmark localisation sensor on a serial port: its text protocol,
// its parameters, and the position records it computes from the shared world.
//
// Scenario entry (model = "stargazer"; keys declared in kKeys below):
//   [[serial.device]]
//   node = "/dev/ttyO0"
//   model = "stargazer"
//   version = "NS-SG 2.14"   text of the Version parameter (read only)
//   id_num = 4               initial IDNum, 0 to 4095
//   ref_id = 2               initial RefID, 0 to 4095
//   mark_type = "HLD1L"      initial MarkType: HLD1S, HLD1L, HLD2S, HLD2L, HLD3S or HLD3L
//   mark_mode = "Alone"      initial MarkMode: Alone or Map
//   height_fix = "No"        initial HeightFix: No or Yes
//   rate_hz = 10             position records a second while computing, 1 to 50
//   latency_ms = 5           delay of every answer after the message's closing backtick, 0 to
//                            10000 (the library reads 30 ms after its last byte: above that the
//                            answers come late)
//   update_ms = 1500         delay of "~!ParameterUpdate`" after the SetEnd acknowledgement,
//                            0 to 60000
//   offset_mm = 80           distance of the sensor from the robot's turning centre, 0 to 1000
//   offset_deg = 100         its direction, degrees counter-clockwise from the robot's heading
//   view_mm = 800            a landmark is in view while it lies within this horizontal distance
//                            of the sensor, 0 to 100000
//   noise_cm = 0.3           standard deviation of the noise on x and y, 0 to 100
//   heading_noise_deg = 0.1  standard deviation of the noise on the heading, 0 to 90
//   split_ms = 0             > 0: every record reaches the line in two writes, the second this
//                            many ms after the first (0 to 1000)
//   silent = false           true: the sensor answers nothing and sends nothing
//   garbage_hz = 0           junk text (no tilde, no backtick) sent this often, computing or not
//   flood = false            true: while computing, every record period sends a burst of more
//                            than 2048 bytes of records, and a flush of the program's input
//                            finds the line full again at once
//
// Protocol. A message runs from a tilde to the next backtick; the model acts once the backtick
// has arrived, and bytes outside messages are ignored. Answers, after latency_ms:
//   "~#CalcStop`", "~#CalcStart`"       acknowledged ("~!CalcStop`"): stop or start computing
//   "~#SetEnd`"                         acknowledged, then "~!ParameterUpdate`" after update_ms
//   "~#MapMode|Start`"                  acknowledged; map mode: instead of records, at rate_hz,
//                                       "~*MAPID|<id>`" with the landmark in view; CalcStop ends it
//   "~#<parameter>|<value>`"            a valid value is stored and acknowledged with the same
//                                       text ("~!IDNum|12`"); an invalid one is not answered
//   "~@<parameter>`"                    "~$<parameter>|<value>`" (Version included)
// Anything else is not answered.
//
// Records, while computing: "~^<mode><id>|<heading>|<x>|<y>|<height>`" with mode I (MarkMode
// Alone) or M (Map), id the landmark in view, heading in the sensor's convention (90 minus the
// robot's counter-clockwise heading from +x, in (-180, 180]), x and y the sensor's position
// relative to that landmark in the world's axes, in cm, and height the landmark's height above
// the sensor (mounted 250 mm above the floor), in cm; two decimals each. Without a landmark in
// view: "~*DeadZone`". The sensor sits offset_mm from the turning centre in direction
// offset_deg, so a robot turning on the spot makes its positions trace a circle. Noise comes from
// a generator seeded by the board seed.
//
// Parameters and the computing state are the sensor's own: they live in the board's shared
// memory and outlast the program that set them.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <string>

#include "../scenario.h"
#include "../serial_model.h"

namespace tsim {

class Board;
class World;

class StarGazerModel final : public SerialModel {
 public:
  static constexpr std::array kKeys{
      Key{.name = "version",
          .type = Key::Type::string,
          .def = "NS-SG 2.14",
          .doc = "text of the Version parameter"},
      Key{"id_num", Key::Type::integer, 0, 4095, 4, "initial IDNum"},
      Key{"ref_id", Key::Type::integer, 0, 4095, 2, "initial RefID"},
      Key{.name = "mark_type",
          .type = Key::Type::string,
          .def = "HLD1L",
          .doc = "initial MarkType: HLD1S ... HLD3L"},
      Key{.name = "mark_mode",
          .type = Key::Type::string,
          .def = "Alone",
          .doc = "initial MarkMode: Alone or Map"},
      Key{.name = "height_fix",
          .type = Key::Type::string,
          .def = "No",
          .doc = "initial HeightFix: No or Yes"},
      Key{"rate_hz", Key::Type::integer, 1, 50, 10, "position records a second"},
      Key{"latency_ms", Key::Type::integer, 0, 10000, 5, "delay of every answer"},
      Key{"update_ms", Key::Type::integer, 0, 60000, 1500, "delay of ParameterUpdate"},
      Key{"offset_mm", Key::Type::number, 0, 1000, 80, "sensor from the turning centre, mm"},
      Key{"offset_deg", Key::Type::number, -360, 360, 100, "its direction from the heading"},
      Key{"view_mm", Key::Type::number, 0, 100000, 800, "horizontal reach of the view, mm"},
      Key{"noise_cm", Key::Type::number, 0, 100, 0.3, "standard deviation on x and y"},
      Key{"heading_noise_deg", Key::Type::number, 0, 90, 0.1, "on the heading"},
      Key{"split_ms", Key::Type::integer, 0, 1000, 0, "> 0: each record in two writes so apart"},
      Key{.name = "silent",
          .type = Key::Type::boolean,
          .def = false,
          .doc = "the sensor answers and sends nothing"},
      Key{"garbage_hz", Key::Type::integer, 0, 50, 0, "junk text sent this often"},
      Key{.name = "flood",
          .type = Key::Type::boolean,
          .def = false,
          .doc = "bursts of records beyond 2048 bytes while computing"},
  };
  static constexpr double kSensorZ = 250.0;  // mm above the floor
  static constexpr std::size_t kFloodBytes = 3000;

  StarGazerModel(const ModelEntry &entry, Board &board);

  void received(std::span<const std::uint8_t> bytes, std::uint64_t now_us) override;
  std::uint64_t output(std::uint64_t now_us, std::vector<std::string> &due) override;
  void flushed(std::uint64_t now_us) override;

 private:
  // The sensor's own state, shared by every process of a run.
  struct State {
    std::uint8_t initialised;
    std::uint8_t computing;
    std::uint8_t map_mode;
    std::uint8_t mark_type, mark_mode, height_fix;
    std::int32_t id_num, ref_id;
  };
  struct Pending {
    std::uint64_t due_us;
    std::string bytes;
  };

  void message(const std::string &text, std::uint64_t now_us);
  bool write_parameter(const std::string &name, const std::string &value);
  std::string read_parameter(const std::string &name) const;
  void answer(std::string text, std::uint64_t at_us);
  // What the sensor computes at `now_us`: a record, a map report or the dead-zone report.
  std::string measurement(std::uint64_t now_us);
  std::string burst(std::uint64_t now_us);
  std::string garbage();

  Board &board_;
  std::shared_ptr<World> world_;
  State *state_;
  std::string version_;
  std::uint64_t period_us_, latency_us_, update_us_, split_us_, garbage_us_;
  double offset_mm_, offset_rad_, view_mm_, noise_cm_, heading_noise_deg_;
  bool silent_, flood_;
  std::mt19937_64 rng_;
  std::string input_;
  std::deque<Pending> pending_;
  std::uint64_t next_record_us_ = 0, next_garbage_us_ = 0;
};

}  // namespace tsim
