// I2C adapter and user GPIO nodes: the i2c-dev and 'G' requests with the kernel's checks.
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <cerrno>
#include <cstring>
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
  std::vector<std::vector<std::uint8_t>> bufs(req->nmsgs);
  std::vector<I2cMessage> msgs(req->nmsgs);
  int err = 0;
  for (unsigned i = 0; i < req->nmsgs; ++i) {
    const i2c_msg &m = req->msgs[i];
    if (m.len > kMaxMsgLen)
      err = err ? err : EINVAL;
    else if (m.len && !m.buf)
      err = err ? err : EFAULT;
    else if (m.flags & I2C_M_RECV_LEN)
      err = err ? err : EOPNOTSUPP;
    if (err) break;
    bufs[i].assign(m.len, 0);
    if (!(m.flags & I2C_M_RD) && m.len) std::memcpy(bufs[i].data(), m.buf, m.len);
    msgs[i] = {m.addr, m.flags, bufs[i]};
    // Ten-bit addresses never reach a 7-bit slave of the model.
    if ((m.flags & I2C_M_TEN) && m.addr > 0x7f) msgs[i].addr = 0xffff;
  }
  if (!err) err = run(f, msgs);
  if (!err) {
    for (unsigned i = 0; i < req->nmsgs; ++i)
      if ((req->msgs[i].flags & I2C_M_RD) && req->msgs[i].len)
        std::memcpy(req->msgs[i].buf, bufs[i].data(), req->msgs[i].len);
  }
  if (rec.on()) {
    std::string list = "[";
    for (unsigned i = 0; i < req->nmsgs; ++i) {
      const i2c_msg &m = req->msgs[i];
      bool rd = m.flags & I2C_M_RD;
      std::string data = (!rd || !err) ? hex_of(bufs[i]) : std::string();
      if (i) list += ",";
      list += "{\"addr\":" + std::to_string(m.addr) + ",\"flags\":" + std::to_string(m.flags) +
              ",\"len\":" + std::to_string(m.len) + ",\"data\":\"" + data + "\"}";
    }
    list += "]";
    rec.raw("msgs", list);
    rec.emit(err ? -1 : static_cast<long long>(req->nmsgs), err);
  }
  return err ? fail(err) : static_cast<int>(req->nmsgs);
}

// SMBus over plain messages, as the kernel emulates it on an I2C-only adapter.
int do_smbus(OpenFile &f, void *arg) {
  auto *req = static_cast<i2c_smbus_ioctl_data *>(arg);
  Rec rec(f.path, "smbus");
  if (!req) {
    rec.emit(-1, EFAULT);
    return fail(EFAULT);
  }
  const unsigned size = req->size;
  const unsigned rw = req->read_write;
  const std::uint8_t cmd = req->command;
  rec.num("addr", static_cast<long long>(f.addr))
      .num("read_write", rw)
      .num("command", cmd)
      .num("size", size);
  auto refuse = [&](int e) {
    rec.str("data", "").emit(-1, e);
    return fail(e);
  };
  switch (size) {
    case I2C_SMBUS_QUICK:
    case I2C_SMBUS_BYTE:
    case I2C_SMBUS_BYTE_DATA:
    case I2C_SMBUS_WORD_DATA:
    case I2C_SMBUS_PROC_CALL:
    case I2C_SMBUS_BLOCK_DATA:
    case I2C_SMBUS_I2C_BLOCK_BROKEN:
    case I2C_SMBUS_I2C_BLOCK_DATA:
    case I2C_SMBUS_BLOCK_PROC_CALL:
      break;
    default:
      return refuse(EINVAL);
  }
  if (rw != I2C_SMBUS_READ && rw != I2C_SMBUS_WRITE) return refuse(EINVAL);
  i2c_smbus_data *data = req->data;
  bool needs_data = !(size == I2C_SMBUS_QUICK || (size == I2C_SMBUS_BYTE && rw == I2C_SMBUS_WRITE));
  if (needs_data && !data) return refuse(EINVAL);

  const auto addr = static_cast<std::uint16_t>(f.tenbit && f.addr > 0x7f ? 0xffff : f.addr);
  std::uint8_t out[I2C_SMBUS_BLOCK_MAX + 2] = {cmd};
  std::uint8_t in[I2C_SMBUS_BLOCK_MAX + 2] = {};
  std::size_t out_len = 1, in_len = 0;
  bool read = rw == I2C_SMBUS_READ;
  switch (size) {
    case I2C_SMBUS_QUICK:
      out_len = 0;
      break;
    case I2C_SMBUS_BYTE:
      if (read) {
        out_len = 0;
        in_len = 1;
      }
      break;
    case I2C_SMBUS_BYTE_DATA:
      if (read)
        in_len = 1;
      else
        out[out_len++] = data->byte;
      break;
    case I2C_SMBUS_WORD_DATA:
    case I2C_SMBUS_PROC_CALL:
      if (read && size == I2C_SMBUS_WORD_DATA) {
        in_len = 2;
      } else {
        out[out_len++] = static_cast<std::uint8_t>(data->word & 0xff);
        out[out_len++] = static_cast<std::uint8_t>(data->word >> 8);
        if (size == I2C_SMBUS_PROC_CALL) {
          read = true;
          in_len = 2;
        }
      }
      break;
    case I2C_SMBUS_BLOCK_DATA:
      if (read) return refuse(EOPNOTSUPP);  // the adapter cannot read a length-prefixed block
      if (data->block[0] > I2C_SMBUS_BLOCK_MAX) return refuse(EINVAL);
      std::memcpy(out + 1, data->block, data->block[0] + 1u);
      out_len = 2u + data->block[0];
      break;
    case I2C_SMBUS_I2C_BLOCK_BROKEN:
    case I2C_SMBUS_I2C_BLOCK_DATA: {
      std::uint8_t n =
          (size == I2C_SMBUS_I2C_BLOCK_BROKEN && read) ? I2C_SMBUS_BLOCK_MAX : data->block[0];
      if (n == 0 || n > I2C_SMBUS_BLOCK_MAX) return refuse(EINVAL);
      if (read) {
        in_len = n;
      } else {
        std::memcpy(out + 1, data->block + 1, n);
        out_len = 1u + n;
      }
      break;
    }
    default:
      return refuse(EOPNOTSUPP);
  }
  I2cMessage msgs[2];
  std::size_t count = 0;
  if (out_len || !read || size == I2C_SMBUS_QUICK)
    msgs[count++] = {addr, 0, std::span<std::uint8_t>(out, out_len)};
  if (size == I2C_SMBUS_QUICK && read) msgs[0].flags = I2C_M_RD;
  if (in_len) msgs[count++] = {addr, I2C_M_RD, std::span<std::uint8_t>(in, in_len)};
  int err = run(f, std::span<I2cMessage>(msgs, count));
  if (err) return refuse(err);
  if (in_len) {
    switch (size) {
      case I2C_SMBUS_BYTE:
      case I2C_SMBUS_BYTE_DATA:
        data->byte = in[0];
        break;
      case I2C_SMBUS_WORD_DATA:
      case I2C_SMBUS_PROC_CALL:
        data->word = static_cast<std::uint16_t>(in[0] | (in[1] << 8));
        break;
      default:
        data->block[0] = static_cast<std::uint8_t>(in_len);
        std::memcpy(data->block + 1, in, in_len);
    }
    rec.hex("data", std::span<const std::uint8_t>(in, in_len));
  } else {
    // Written payload: what followed the command byte (nothing for quick and byte writes).
    std::size_t skip = (size == I2C_SMBUS_QUICK || size == I2C_SMBUS_BYTE) ? out_len : 1;
    rec.hex("data", std::span<const std::uint8_t>(out + skip, out_len - skip));
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
  std::vector<std::uint8_t> tmp(len);
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
  std::vector<std::uint8_t> tmp(static_cast<const std::uint8_t *>(buf),
                                static_cast<const std::uint8_t *>(buf) + len);
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
    case kGpioRequest: {
      Rec rec(f.path, "request");
      if (!arg) return finish(rec, EFAULT);
      LabelReq r;
      std::memcpy(&r, arg, sizeof r);
      r.label[31] = '\0';
      rec.num("gpio", r.gpio).str("label", r.label);
      return finish(rec, gpio.request(r.gpio, r.label, f.owner));
    }
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
    case kGpioGet: {
      Rec rec(f.path, "get");
      if (!arg) return finish(rec, EFAULT);
      ValueReq r;
      std::memcpy(&r, arg, sizeof r);
      rec.num("gpio", r.gpio);
      int value = 0;
      int err = gpio_check_use(shm, r.gpio, f.owner);
      if (!err) err = gpio.get(r.gpio, &value);
      if (!err) {
        r.value = value;
        std::memcpy(arg, &r, sizeof r);
        rec.num("value", value);
      }
      return finish(rec, err);
    }
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
