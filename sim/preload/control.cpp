// The control interface for tests (sim/include/tarsa_sim.h).
#include <cstring>
#include <string>

#include "nodes.h"
#include "runtime.h"
#include "tarsa_sim.h"

using namespace tsim;

extern "C" TARSA_SIM_API int tarsa_sim_load_scenario(const char *toml_text) {
  std::string err = rt().load(toml_text ? toml_text : "");
  if (err.empty()) return 0;
  std::string msg = "tarsa-sim: scenario refused: " + err + "\n";
  (void)!real().write(2, msg.data(), msg.size());
  return -1;
}

extern "C" TARSA_SIM_API int tarsa_sim_gpio_input(int pin, int level) {
  Guard g;
  GpioController &gpio = rt().board().gpio();
  if (!gpio.present(pin)) return -1;
  gpio.set_input(pin, level);
  return 0;
}

extern "C" TARSA_SIM_API int tarsa_sim_gpio_level(int pin) {
  Guard g;
  return rt().board().gpio().level(pin);
}

extern "C" TARSA_SIM_API const char *tarsa_sim_trace_path(void) {
  Runtime &r = rt();
  return r.tracing() ? r.trace_path().c_str() : nullptr;
}

extern "C" TARSA_SIM_API unsigned long tarsa_sim_trace_seq(void) {
  Guard g;
  return static_cast<unsigned long>(rt().shm().seq);
}

extern "C" TARSA_SIM_API int tarsa_sim_serial_script(const char *node, const char *expect,
                                                     const void *reply, size_t reply_len,
                                                     unsigned delay_ms, int once) {
  if (!node || !expect || !*expect || (!reply && reply_len)) return -1;
  Guard g;
  SerialDevice *dev = rt().board().serial(node);
  if (!dev) return -1;
  ScriptRule r;
  r.node = node;
  r.expect = expect;
  r.reply.assign(static_cast<const char *>(reply), reply_len);
  r.delay_ms = delay_ms;
  r.once = once != 0;
  dev->script->add_rule(r);
  return 0;
}

extern "C" TARSA_SIM_API int tarsa_sim_serial_send(const char *node, const void *data, size_t len,
                                                   unsigned delay_ms) {
  if (!node || (!data && len)) return -1;
  Guard g;
  SerialDevice *dev = rt().board().serial(node);
  if (!dev || !serial_opened(node)) return -1;
  dev->script->send(std::string(static_cast<const char *>(data), len),
                    rt().board().now_us() + delay_ms * 1000ULL);
  serial_kick(node);
  return 0;
}

extern "C" TARSA_SIM_API void tarsa_sim_serial_clear(const char *node) {
  if (!node) return;
  Guard g;
  if (SerialDevice *dev = rt().board().serial(node)) dev->script->clear();
}

// Early start, so the state is mapped before the program makes its first call.
__attribute__((constructor)) static void tarsa_sim_start() {
  rt();
}
