// Helpers for tests that run on the board simulator: the trace, scenarios and programs run
// under tarsa-sim.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace simtest {

// True when this process runs under tarsa-sim (the preload library is loaded).
bool active();

// Replaces the simulated board with the scenario in `toml` (TOML text); "" gives the built-in
// board. Fails the current test on a refused scenario.
void load(const std::string &toml);

// The number of the last trace record written so far (0 before the first).
std::size_t trace_mark();

// The trace records written after `mark`, in order; with `dev` given, only those of that node.
std::vector<nlohmann::json> trace_since(std::size_t mark, const std::string &dev = "");

// Result of a program run under tarsa-sim.
struct Result {
  int status = -1;       // exit status, or 128+N for a signal, -1 when it had to be killed
  std::string out, err;  // standard output and error
  std::string trace;     // path of the run's trace file
};

struct RunOptions {
  std::string scenario_toml{};     // scenario text; empty = built-in board
  std::string input{};             // written to the program's standard input, then closed
  std::vector<std::string> env{};  // extra NAME=VALUE entries
  std::chrono::milliseconds timeout{20000};
};

// Runs `argv` (argv[0] a path) under tarsa-sim with a fresh trace file; bounded by the timeout.
Result run(const std::vector<std::string> &argv, const RunOptions &opts = {});

// Writes to the PWM chip at `chip` since `mark`, as "file=data" with the file relative to the
// chip, and " -> errno" when the write was refused.
std::vector<std::string> pwm_writes(std::size_t mark,
                                    const std::string &chip = "/sys/class/pwm/pwmchip0");

// A program started under tarsa-sim in the background, as run() starts it, its standard output
// and error in files; ended with the launcher (SIGKILL) when the object goes, unless it ended.
class Program {
 public:
  // Standard input from `in_fd`, or /dev/null when < 0; `opts.input` and the timeout are unused.
  explicit Program(const std::vector<std::string> &argv, const RunOptions &opts = {},
                   int in_fd = -1);
  ~Program();
  Program(const Program &) = delete;
  Program &operator=(const Program &) = delete;

  std::string out() const;
  std::string err() const;
  const std::string &trace() const { return trace_; }  // path of the run's trace file
  const std::string &dir() const { return dir_; }      // a directory of the run's own
  // The process running the program: the launcher, or its child when it forked.
  pid_t program_pid() const;
  void signal(int sig) const { ::kill(program_pid(), sig); }
  // Exit status, 128+N for signal N; -1 when still running after `bound_s` seconds.
  int wait(double bound_s);

 private:
  std::string dir_, trace_;
  pid_t pid_ = -1;
};

// Reads a JSON Lines trace file.
std::vector<nlohmann::json> read_trace(const std::string &path);

// Path of a program built by this project, e.g. bin("configdump").
std::string bin(const std::string &name);

// Serial node models of this run: once `expect` has arrived from the program on `node`, send
// `reply` after `delay_ms` (every time, or only the first time with `once`).
void serial_script(const std::string &node, const std::string &expect, const std::string &reply,
                   unsigned delay_ms = 0, bool once = false);
// Sends `bytes` to the program on `node` (opened by this process) after `delay_ms`, unasked.
void serial_send(const std::string &node, const std::string &bytes, unsigned delay_ms = 0);
// Drops the scripted replies of `node` and replies not yet sent.
void serial_clear(const std::string &node);

// GPIO of the simulated board: drive an input pin; read a pin's level (-1: no such pin).
void gpio_input(int pin, int level);
int gpio_level(int pin);

// The bytes of the `op` records ("tx": written by the program, "rx": sent to it) of serial node
// `node` since `mark`, in hexadecimal as the trace has them.
std::string serial_data(std::size_t mark, const std::string &node, const std::string &op = "tx");

// The operations on GPIO node `node` since `mark`, as testutil::gpio_op writes them; a failed one
// ends in " -> " and its errno, or in " !" without `with_errno`.
std::vector<std::string> gpio_ops(std::size_t mark, bool with_errno = true,
                                  const std::string &node = "/dev/user-gpio");

// Which transfers of an I2C adapter i2c_frames shows, and how.
struct I2cView {
  int addr = -1;                   // only those to this slave address; -1: all
  bool data = false;               // reads end in the bytes that came back: "r40/2=0aaa"
  std::string dev = "/dev/i2c-2";  // the adapter's node
};

// The transfers on an I2C adapter, one line each: "w20:fffe" writes 0x20 then 0xff 0xfe ("w17"
// a lone byte); "r43/2" writes 0x43 and reads 2 bytes in one combined transfer; "r/4" reads 4
// bytes alone. A failed transfer ends in " !". Opens, selections and probes are left out.
std::vector<std::string> i2c_frames(const std::vector<nlohmann::json> &trace,
                                    const I2cView &view = {});
// The same for the records written after `mark`.
std::vector<std::string> i2c_frames(std::size_t mark, const I2cView &view = {});

}  // namespace simtest
