// I2C adapter and user GPIO nodes: the i2c-dev and 'G' requests with the kernel's checks.
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "i2c_adapter.h"
#include "nodes.h"
#include "runtime.h"

namespace tsim {

namespace {

constexpr unsigned kMaxRdwrMsgs = 42;  // I2C_RDWR_IOCTL_MAX_MSGS
constexpr std::size_t kMaxMsgLen = 8192;

I2cAdapter *adapter_of(const OpenFile &f) {
  return rt().board().adapter(f.adapter);
}

// Runs messages on the node's adapter; a board that lost the adapter answers like an empty bus.
int run(const OpenFile &f, std::span<I2cMessage> msgs) {
  I2cAdapter *ad = adapter_of(f);
  if (!ad) return ENXIO;
  return ad->transfer(msgs);
}

// The bytes of one call's messages, and its trace text: calls run under the simulator lock, one
// at a time, so one of each serves them all and keeps the largest size it has needed.
std::span<std::uint8_t> scratch(std::size_t n) {
  static auto *v = new std::vector<std::uint8_t>;
  if (v->size() < n) v->resize(n);
  return {v->data(), n};
}

std::string &rdwr_text() {
  static auto *s = new std::string;
  return *s;
}

int do_rdwr(OpenFile &f, void *arg) {
  auto *req = static_cast<i2c_rdwr_ioctl_data *>(arg);
  Rec rec(f.path, "rdwr");
  if (!req) {
    rec.emit(-1, EFAULT);
    return fail(EFAULT);
  }
  if (req->nmsgs > kMaxRdwrMsgs || req->nmsgs == 0) {
    rec.emit(-1, EINVAL);
    return fail(EINVAL);
  }
  if (!req->msgs) {
    rec.emit(-1, EFAULT);
    return fail(EFAULT);
  }
  // The messages up to the first the kernel refuses get their buffers; `ready` of them.
  int err = 0;
  unsigned ready = 0;
  std::size_t total = 0;
  for (; ready < req->nmsgs; ++ready) {
    const i2c_msg &m = req->msgs[ready];
    if (m.len > kMaxMsgLen)
      err = EINVAL;
    else if (m.len && !m.buf)
      err = EFAULT;
    else if (m.flags & I2C_M_RECV_LEN)
      err = EOPNOTSUPP;
    if (err) break;
    total += m.len;
  }
  const std::span<std::uint8_t> bytes = scratch(total);
  std::array<I2cMessage, kMaxRdwrMsgs> msgs;
  std::size_t at = 0;
  for (unsigned i = 0; i < ready; ++i) {
    const i2c_msg &m = req->msgs[i];
    const std::span<std::uint8_t> buf(bytes.data() + at, m.len);
    at += m.len;
    if (m.flags & I2C_M_RD)
      std::fill(buf.begin(), buf.end(), std::uint8_t{0});
    else if (m.len)
      std::memcpy(buf.data(), m.buf, m.len);
    msgs[i] = {m.addr, m.flags, buf};
    // Ten-bit addresses never reach a 7-bit slave of the model.
    if ((m.flags & I2C_M_TEN) && m.addr > 0x7f) msgs[i].addr = 0xffff;
  }
  if (!err) err = run(f, std::span<I2cMessage>(msgs.data(), req->nmsgs));
  if (!err) {
    for (unsigned i = 0; i < req->nmsgs; ++i)
      if ((req->msgs[i].flags & I2C_M_RD) && req->msgs[i].len)
        std::memcpy(req->msgs[i].buf, msgs[i].buf.data(), req->msgs[i].len);
  }
  if (rec.on()) {
    std::string &list = rdwr_text();
    list.clear();
    list += '[';
    for (unsigned i = 0; i < req->nmsgs; ++i) {
      const i2c_msg &m = req->msgs[i];
      const bool rd = m.flags & I2C_M_RD;
      if (i) list += ',';
      list += "{\"addr\":";
      append_number(list, m.addr);
      list += ",\"flags\":";
      append_number(list, m.flags);
      list += ",\"len\":";
      append_number(list, m.len);
      list += ",\"data\":\"";
      if (i < ready && (!rd || !err)) append_hex(list, msgs[i].buf);
      list += "\"}";
    }
    list += ']';
    rec.raw("msgs", list);
    rec.emit(err ? -1 : static_cast<long long>(req->nmsgs), err);
  }
  return err ? fail(err) : static_cast<int>(req->nmsgs);
}

// ---- SMBus over plain messages, as the kernel emulates it on an I2C-only adapter ----------------

// One transaction on the wire: a write message of `out` (the command byte first), then a read
// of `in_len` bytes when there is one. A quick transaction is a single empty message.
struct SmbusFrame {
  std::uint8_t out[I2C_SMBUS_BLOCK_MAX + 2] = {};
  std::size_t out_len = 1, in_len = 0;
  bool quick = false, quick_read = false;
  std::size_t payload = 1;  // where the traced payload of a write starts in `out`
};

void put_word(SmbusFrame &fr, std::uint16_t word) {
  fr.out[fr.out_len++] = static_cast<std::uint8_t>(word & 0xff);
  fr.out[fr.out_len++] = static_cast<std::uint8_t>(word >> 8);
}

int frame_quick(SmbusFrame &fr, bool read, const i2c_smbus_data *) {
  fr.out_len = fr.payload = 0;
  fr.quick = true;
  fr.quick_read = read;
  return 0;
}

int frame_byte(SmbusFrame &fr, bool read, const i2c_smbus_data *) {
  if (read) fr.out_len = 0, fr.in_len = 1;
  fr.payload = fr.out_len;  // the byte written is the command byte
  return 0;
}

int frame_byte_data(SmbusFrame &fr, bool read, const i2c_smbus_data *d) {
  if (read)
    fr.in_len = 1;
  else
    fr.out[fr.out_len++] = d->byte;
  return 0;
}

int frame_word_data(SmbusFrame &fr, bool read, const i2c_smbus_data *d) {
  if (read)
    fr.in_len = 2;
  else
    put_word(fr, d->word);
  return 0;
}

int frame_proc_call(SmbusFrame &fr, bool, const i2c_smbus_data *d) {
  put_word(fr, d->word);
  fr.in_len = 2;
  return 0;
}

int frame_block_data(SmbusFrame &fr, bool read, const i2c_smbus_data *d) {
  if (read) return EOPNOTSUPP;  // the adapter cannot read a length-prefixed block
  if (d->block[0] > I2C_SMBUS_BLOCK_MAX) return EINVAL;
  std::memcpy(fr.out + 1, d->block, d->block[0] + 1u);
  fr.out_len = 2u + d->block[0];
  return 0;
}

int frame_i2c_block(SmbusFrame &fr, bool read, const i2c_smbus_data *d, std::uint8_t n) {
  if (n == 0 || n > I2C_SMBUS_BLOCK_MAX) return EINVAL;
  if (read) {
    fr.in_len = n;
  } else {
    std::memcpy(fr.out + 1, d->block + 1, n);
    fr.out_len = 1u + n;
  }
  return 0;
}

int frame_i2c_block_data(SmbusFrame &fr, bool read, const i2c_smbus_data *d) {
  return frame_i2c_block(fr, read, d, d->block[0]);
}

int frame_i2c_block_broken(SmbusFrame &fr, bool read, const i2c_smbus_data *d) {
  return frame_i2c_block(fr, read, d, read ? I2C_SMBUS_BLOCK_MAX : d->block[0]);
}

int frame_unsupported(SmbusFrame &, bool, const i2c_smbus_data *) {
  return EOPNOTSUPP;
}

void answer_byte(const std::uint8_t *in, std::size_t, i2c_smbus_data *d) {
  d->byte = in[0];
}

void answer_word(const std::uint8_t *in, std::size_t, i2c_smbus_data *d) {
  d->word = static_cast<std::uint16_t>(in[0] | (in[1] << 8));
}

void answer_block(const std::uint8_t *in, std::size_t n, i2c_smbus_data *d) {
  d->block[0] = static_cast<std::uint8_t>(n);
  std::memcpy(d->block + 1, in, n);
}

// The transaction kinds (the `size` of a request): when they need the caller's data, how they
// go on the wire and how what was read goes back.
struct SmbusKind {
  std::uint32_t size;
  bool data_to_read, data_to_write;
  int (*frame)(SmbusFrame &, bool read, const i2c_smbus_data *);
  void (*answer)(const std::uint8_t *in, std::size_t n, i2c_smbus_data *);
};

constexpr SmbusKind kSmbusKinds[] = {
    {I2C_SMBUS_QUICK, false, false, frame_quick, nullptr},
    {I2C_SMBUS_BYTE, true, false, frame_byte, answer_byte},
    {I2C_SMBUS_BYTE_DATA, true, true, frame_byte_data, answer_byte},
    {I2C_SMBUS_WORD_DATA, true, true, frame_word_data, answer_word},
    {I2C_SMBUS_PROC_CALL, true, true, frame_proc_call, answer_word},
    {I2C_SMBUS_BLOCK_DATA, true, true, frame_block_data, answer_block},
    {I2C_SMBUS_I2C_BLOCK_BROKEN, true, true, frame_i2c_block_broken, answer_block},
    {I2C_SMBUS_I2C_BLOCK_DATA, true, true, frame_i2c_block_data, answer_block},
    {I2C_SMBUS_BLOCK_PROC_CALL, true, true, frame_unsupported, nullptr},
};

int do_smbus(OpenFile &f, void *arg) {
  auto *req = static_cast<i2c_smbus_ioctl_data *>(arg);
  Rec rec(f.path, "smbus");
  if (!req) {
    rec.emit(-1, EFAULT);
    return fail(EFAULT);
  }
  const bool read = req->read_write == I2C_SMBUS_READ;
  rec.num("addr", static_cast<long long>(f.addr))
      .num("read_write", req->read_write)
      .num("command", req->command)
      .num("size", req->size);
  auto refuse = [&](int e) {
    rec.str("data", "").emit(-1, e);
    return fail(e);
  };
  const SmbusKind *kind = nullptr;
  for (const SmbusKind &k : kSmbusKinds)
    if (k.size == req->size) kind = &k;
  if (!kind || (!read && req->read_write != I2C_SMBUS_WRITE)) return refuse(EINVAL);
  i2c_smbus_data *data = req->data;
  if (!data && (read ? kind->data_to_read : kind->data_to_write)) return refuse(EINVAL);
  SmbusFrame fr;
  fr.out[0] = req->command;
  if (int e = kind->frame(fr, read, data)) return refuse(e);

  const auto addr = static_cast<std::uint16_t>(f.tenbit && f.addr > 0x7f ? 0xffff : f.addr);
  std::uint8_t in[I2C_SMBUS_BLOCK_MAX + 2] = {};
  I2cMessage msgs[2];
  std::size_t count = 0;
  if (fr.out_len || fr.quick)
    msgs[count++] = {addr, static_cast<std::uint16_t>(fr.quick_read ? I2C_M_RD : 0),
                     std::span<std::uint8_t>(fr.out, fr.out_len)};
  if (fr.in_len) msgs[count++] = {addr, I2C_M_RD, std::span<std::uint8_t>(in, fr.in_len)};
  if (int err = run(f, std::span<I2cMessage>(msgs, count))) return refuse(err);
  if (fr.in_len) {
    kind->answer(in, fr.in_len, data);
    rec.hex("data", std::span<const std::uint8_t>(in, fr.in_len));
  } else {
    rec.hex("data", std::span<const std::uint8_t>(fr.out + fr.payload, fr.out_len - fr.payload));
  }
  rec.emit(0, 0);
  return 0;
}

}  // namespace

int i2c_ioctl(OpenFile &f, unsigned long req, void *arg) {
  const auto value = reinterpret_cast<unsigned long>(arg);
  switch (req) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE: {
      Rec rec(f.path, "slave");
      rec.num("addr", static_cast<long long>(value)).num("force", req == I2C_SLAVE_FORCE ? 1 : 0);
      int err = 0;
      if (value > 0x3ff || (value > 0x7f && !f.tenbit))
        err = EINVAL;
      else if (req == I2C_SLAVE) {
        I2cAdapter *ad = adapter_of(f);
        if (ad && ad->busy(static_cast<int>(value))) err = EBUSY;
      }
      if (!err) f.addr = value;
      rec.emit(err ? -1 : 0, err);
      return err ? fail(err) : 0;
    }
    case I2C_TENBIT:
      f.tenbit = value != 0;
      Rec(f.path, "tenbit").num("value", value != 0).emit(0, 0);
      return 0;
    case I2C_RETRIES:
    case I2C_TIMEOUT:
    case I2C_PEC:
      Rec(f.path, "ioctl")
          .num("request", static_cast<long long>(req))
          .num("value", static_cast<long long>(value))
          .emit(0, 0);
      return 0;
    case I2C_FUNCS: {
      Rec rec(f.path, "funcs");
      if (!arg) {
        rec.emit(-1, EFAULT);
        return fail(EFAULT);
      }
      unsigned long funcs = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
      std::memcpy(arg, &funcs, sizeof funcs);
      rec.num("funcs", static_cast<long long>(funcs)).emit(0, 0);
      return 0;
    }
    case I2C_RDWR:
      return do_rdwr(f, arg);
    case I2C_SMBUS:
      return do_smbus(f, arg);
    default:
      Rec(f.path, "ioctl").num("request", static_cast<long long>(req)).emit(-1, ENOTTY);
      return fail(ENOTTY);
  }
}

ssize_t i2c_read(OpenFile &f, void *buf, size_t len) {
  if (len > kMaxMsgLen) len = kMaxMsgLen;
  const std::span<std::uint8_t> tmp = scratch(len);
  std::fill(tmp.begin(), tmp.end(), std::uint8_t{0});
  I2cMessage m{static_cast<std::uint16_t>(f.addr), I2C_M_RD, tmp};
  int err = run(f, std::span<I2cMessage>(&m, 1));
  if (!err && len) std::memcpy(buf, tmp.data(), len);
  Rec rec(f.path, "read");
  rec.num("addr", static_cast<long long>(f.addr));
  rec.hex("data", err ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(tmp));
  rec.emit(err ? -1 : static_cast<long long>(len), err);
  return err ? fail(err) : static_cast<ssize_t>(len);
}

ssize_t i2c_write(OpenFile &f, const void *buf, size_t len) {
  if (len > kMaxMsgLen) len = kMaxMsgLen;
  const std::span<std::uint8_t> tmp = scratch(len);
  if (len) std::memcpy(tmp.data(), buf, len);
  I2cMessage m{static_cast<std::uint16_t>(f.addr), 0, tmp};
  int err = run(f, std::span<I2cMessage>(&m, 1));
  Rec rec(f.path, "write");
  rec.num("addr", static_cast<long long>(f.addr)).hex("data", tmp);
  rec.emit(err ? -1 : static_cast<long long>(len), err);
  return err ? fail(err) : static_cast<ssize_t>(len);
}

// ---- user GPIO ------------------------------------------------------------------------------

void gpio_close(OpenFile &f, bool last) {
  if (last) rt().board().gpio().release_owner(f.owner);
}

namespace {

constexpr unsigned long kGpioRequest = 0x40244780;
constexpr unsigned long kGpioFree = 0x4781;
constexpr unsigned long kGpioDirIn = 0x4782;
constexpr unsigned long kGpioDirOut = 0x40084783;
constexpr unsigned long kGpioGet = 0xC0084784;
constexpr unsigned long kGpioSet = 0x40084785;

struct LabelReq {
  std::int32_t gpio;
  char label[32];
};
struct ValueReq {
  std::int32_t gpio;
  std::int32_t value;
};
static_assert(sizeof(LabelReq) == 36 && sizeof(ValueReq) == 8);

int finish(Rec &rec, int err) {
  rec.emit(err ? -1 : 0, err);
  return err ? fail(err) : 0;
}

}  // namespace

namespace {

// Claims a pin for this open file, under a label.
int gpio_request(OpenFile &f, void *arg) {
  Rec rec(f.path, "request");
  if (!arg) return finish(rec, EFAULT);
  LabelReq r;
  std::memcpy(&r, arg, sizeof r);
  r.label[31] = '\0';
  rec.num("gpio", r.gpio).str("label", r.label);
  return finish(rec, rt().board().gpio().request(r.gpio, r.label, f.owner));
}

// Reads the level of an input pin this open file claimed.
int gpio_get(OpenFile &f, void *arg) {
  Rec rec(f.path, "get");
  if (!arg) return finish(rec, EFAULT);
  ValueReq r;
  std::memcpy(&r, arg, sizeof r);
  rec.num("gpio", r.gpio);
  int value = 0;
  int err = gpio_check_use(rt().shm(), r.gpio, f.owner);
  if (!err) err = rt().board().gpio().get(r.gpio, &value);
  if (!err) {
    r.value = value;
    std::memcpy(arg, &r, sizeof r);
    rec.num("value", value);
  }
  return finish(rec, err);
}

}  // namespace

int gpio_ioctl(OpenFile &f, unsigned long req, void *arg) {
  GpioController &gpio = rt().board().gpio();
  SharedState &shm = rt().shm();
  // Pins passed by value travel as an int in the variadic argument.
  const int by_value = static_cast<int>(reinterpret_cast<unsigned long>(arg));
  // Requests that drive a pin of this user's to a level: both are recorded, then `apply` runs.
  auto drive = [&](const char *op, auto apply) {
    Rec rec(f.path, op);
    if (!arg) return finish(rec, EFAULT);
    ValueReq r;
    std::memcpy(&r, arg, sizeof r);
    rec.num("gpio", r.gpio).num("value", r.value);
    int err = gpio_check_use(shm, r.gpio, f.owner);
    return finish(rec, err ? err : apply(r));
  };
  switch (req) {
    case kGpioRequest:
      return gpio_request(f, arg);
    case kGpioFree: {
      Rec rec(f.path, "free");
      rec.num("gpio", by_value);
      return finish(rec, gpio.free(by_value));
    }
    case kGpioDirIn: {
      Rec rec(f.path, "dir_in");
      rec.num("gpio", by_value);
      int err = gpio_check_use(shm, by_value, f.owner);
      return finish(rec, err ? err : gpio.dir_in(by_value));
    }
    case kGpioDirOut:
      return drive("dir_out", [&](const ValueReq &r) { return gpio.dir_out(r.gpio, r.value); });
    case kGpioGet:
      return gpio_get(f, arg);
    case kGpioSet:
      return drive("set", [&](const ValueReq &r) { return gpio.set(r.gpio, r.value); });
    default: {
      Rec rec(f.path, "ioctl");
      rec.num("request", static_cast<long long>(req));
      return finish(rec, ENOTTY);
    }
  }
}

}  // namespace tsim
