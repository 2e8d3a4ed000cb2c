// Interface of a serial device model: the bytes a program writes to the port come in with their
// time, and the model answers, or speaks unasked, with messages due at times of its choosing.
// Called under the simulator lock from the port's thread; times are Board::now_us().
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tsim {

class SerialModel {
 public:
  static constexpr std::uint64_t kNever = UINT64_MAX;

  virtual ~SerialModel() = default;
  // Bytes the program wrote, in order, as they reached the port at `now_us` (a write may arrive
  // in pieces, and pieces of several writes together).
  virtual void received(std::span<const std::uint8_t> bytes, std::uint64_t now_us) = 0;
  // Appends the messages due by `now_us` to `due` (each is sent, and traced, as one piece) and
  // returns when the next one falls due, or kNever. Called again at that time at the latest,
  // and after every received().
  virtual std::uint64_t output(std::uint64_t now_us, std::vector<std::string> &due) = 0;
  // Whether the node exists at `now_us`: a device that shows up only once powered says no
  // until then (open, stat and access then give ENOENT).
  virtual bool present(std::uint64_t /*now_us*/) { return true; }
  // The program discarded what was waiting on its side of the line (tcflush). What output()
  // then returns as due goes out before the flush returns: a device that floods the line faster
  // than the driver can drop it fills it again at once.
  virtual void flushed(std::uint64_t /*now_us*/) {}
};

// When `expect` has arrived on `node`, send `reply` after `delay_ms`.
struct ScriptRule {
  std::string node = "/dev/ttyO0";
  std::string expect, reply;
  unsigned delay_ms = 0;
  bool once = false;
};

// The scripted replies every serial node has, beside its own model: rules from the scenario and
// from tests, and bytes tests send unasked. Registered as kSerialScriptModel.
class SerialScript : public SerialModel {
 public:
  virtual void add_rule(const ScriptRule &rule) = 0;
  // Sends `bytes` at `due_us`, unasked.
  virtual void send(std::string bytes, std::uint64_t due_us) = 0;
  // Drops every rule and every reply not yet sent.
  virtual void clear() = 0;
};
inline constexpr const char *kSerialScriptModel = "script";

}  // namespace tsim
