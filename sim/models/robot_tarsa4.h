// Model of the robot base's microcontroller: its I2C command protocol, the wheels and their
// controller, the encoders and every sensor, fed by the shared world.
//
// Scenario entry (model = "tarsa4"; the keys are declared in kKeys below):
//   [[i2c.slave]]
//   adapter = 2
//   addr = 0x1F
//   model = "tarsa4"
//   revision = 0x12          revision byte (command 0x00)
//   charging = false         drives the charge line, GPIO 65, low while charging (without the
//                            key the [gpio] table of the scenario decides its level)
//   battery_percent = 80     state of charge reported by the battery monitor, 0 to 100
//   jam_mm = 0               > 0: a wheel jams once it has travelled this far from its encoder
//                            zero (mm): it no longer moves away, whatever it is told (0 to 1e6)
//   wheel_slip = false       against a wall or obstacle the wheels slip: they turn at their set
//                            speed and the encoders count, the body stays. false: they stall
//                            (speed 0, encoders still), as far as the wall stops the body; the
//                            part of their motion that turns the robot goes on in both cases
//
// Protocol. A write frame is the command byte and the command's data; a read command is the
// command byte written alone, then a read of exactly the reply length. The address is
// acknowledged on every transfer (a probe finds the device), except while the reset line is held
// low. The data of a frame is not acknowledged (the transfer fails) for a code that is unknown,
// a write of a write command whose length is not its data length plus one, and a read of another
// length than the reply of the command just selected. A read with no command selected gives 0xFF
// bytes. Command 0x01 is both: one byte alone selects the read, two bytes set the status LEDs.
//
// The robot's units, modes, speed profile, sensor angles and units and the battery record are the
// robot's own and are documented in include/tarsa/vx_tarsa4.h; this model follows them. What
// follows is how the model produces them.
//
// Wheels: motors saturate at +-1000 units; wheel base 105.4 mm. Changing mode zeroes the wheel
//   targets; in each speed mode the other speed command is acknowledged and ignored. Position
//   control (command 0x20, outside mode 0) ramps with the profile and brakes to stop within the
//   position margin. PID gains (command 0x0B) are stored only: the modelled wheels follow their
//   set speed exactly.
// Reset line GPIO 90: while low the model is in reset (no acknowledge, wheels stopped); the
//   rising edge restarts it: encoders 0, mode 0, profile, margin and LEDs to their defaults.
//
// Sensor replies (16-bit words little-endian, noise from a generator seeded by the board seed):
//   0x58 proximity: 12 sensors every 30 degrees counter-clockwise from straight ahead, sensor 0
//        forward; 4095 * (1 - d/150)^2 for a wall d mm (< 150) beyond the body edge, else 0;
//        noise sd 3, clamped 0..4095.
//   0x40 ambient: same sensors; ambient level of the world * (0.6 + 0.4 * min(d, 300) / 300),
//        noise sd 10, clamped 0..4095.
//   0x70 ultrasonic: 5 signed words, sensors at +90, +45, 0, -45, -90 degrees (sensor 0 on the
//        left): distance in cm from the body edge to the nearest wall, 0 when none within 4 m
//        or when the sensor is not selected by the mask of command 0x7A (all five at start).
//   0x80 accelerometer: X, Y, Z blocks of 10 samples; each sample is the 12-bit value in the
//        upper bits (value * 16), 1000 counts per g: X forward acceleration, Y lateral
//        (centripetal, v * yaw rate), Z +1000 (gravity); noise sd 2 counts, clamped to 12 bits.
//   0xC0 gyroscope: same layout, whole words, 1 count = 0.066 deg/s: Z the yaw rate, X and Y
//        zero; noise sd 1 count.
//   0xFD battery, 12 bytes: 0-1 voltage mV (7400 + 8 * (percent - 50)), 2-3 current mA, signed
//        (+800 while charging, else -(150 + 0.4 * (|left| + |right|)), speeds in units), 4-5
//        temperature 0.1 degC (250), 6-7 remaining mAh, 8-9 full capacity mAh (2200), 10 state
//        of charge %, 11 flags: bit 0 charging (from GPIO 65), bit 1 battery present.
//   0x00 revision byte; 0x01 the status LED byte: each half 0 off, 1 on, 2 toggle request (the
//        half becomes 1 when it was 0, else 0), other values kept as written.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "../i2c_slave.h"
#include "../scenario.h"
#include "../world.h"

namespace tsim {

class Board;

class Tarsa4Model final : public I2cSlave, public Drive {
 public:
  static constexpr double kSpeedUnitMm = 0.678181;  // mm/s per speed unit, mm per encoder count
  static constexpr int kMaxSpeed = 1000;            // motor limit, speed units
  static constexpr int kResetPin = 90;
  static constexpr int kChargePin = 65;

  static constexpr std::array kKeys{
      Key{"revision", Key::Type::integer, 0, 255, 0x12, "revision byte (command 0x00)"},
      Key{.name = "charging",
          .type = Key::Type::boolean,
          .doc = "charging (GPIO 65 low); left out: the [gpio] table decides"},
      Key{"battery_percent", Key::Type::integer, 0, 100, 80, "state of charge reported, %"},
      Key{"jam_mm", Key::Type::number, 0, 1000000, 0, "> 0: a wheel jams this far from zero"},
      Key{.name = "wheel_slip",
          .type = Key::Type::boolean,
          .def = false,
          .doc = "against a wall the wheels slip (encoders count) instead of stalling"},
  };

  Tarsa4Model(const ModelEntry &entry, Board &board);
  ~Tarsa4Model() override;

  bool address() override;
  bool write(std::span<const std::uint8_t> data) override;
  bool read(std::span<std::uint8_t> out) override;
  std::pair<double, double> step(double dt) override;
  void moved(double dt, double travelled) override;

 private:
  struct Wheel {
    double speed;       // actual, units
    double target;      // set speed, units
    double enc;         // counts
    std::int32_t goal;  // position control target, counts
  };

  // Controller state, in the board's shared memory so that every process of a run drives the
  // same robot; used under the simulator lock (and the world's).
  struct State {
    std::uint8_t in_reset;
    std::int16_t pending;  // read command selected by the last write, -1 for none
    std::uint8_t mode;
    std::uint8_t position_control;
    std::array<Wheel, 2> wheels;
    std::array<std::uint8_t, 4> profile;
    std::uint16_t cruise;
    std::uint16_t margin;
    std::array<std::uint8_t, 3> pid;
    std::uint8_t status_leds;
    std::array<std::uint8_t, 9> rgb;
    std::uint8_t us_mask;
    std::uint64_t draws;  // noise values drawn so far
  };

  void restart();
  void on_reset_line(int level);
  bool execute(std::uint8_t code, std::span<const std::uint8_t> data);
  void reply(std::uint8_t code, std::span<std::uint8_t> out, bool charging);
  // The replies of the infrared, ambient light and ultrasound readings (0x58, 0x40, 0x70),
  // of the accelerometer and gyroscope (0x80, 0xC0), and of the battery (0xFD).
  void reply_ranges(std::uint8_t code, std::span<std::uint8_t> out, const Pose &p);
  void reply_inertial(std::uint8_t code, std::span<std::uint8_t> out, const Motion &m);
  void reply_battery(std::span<std::uint8_t> out, bool charging);
  double ramp(double from, double to, double dt, bool always) const;
  double noise(double sd);

  Board &board_;
  std::shared_ptr<World> world_;
  // The GPIO controller keeps its callbacks for the board's life; a model replaced by a later
  // scenario entry must not be called through them.
  std::shared_ptr<Tarsa4Model *> self_;
  State *state_;
  std::uint64_t seed_;
  std::uint8_t revision_;
  int battery_percent_;
  double jam_mm_;
  bool wheel_slip_;
};

}  // namespace tsim
