// An emulated I2C adapter: the slaves on it, addresses held by kernel drivers, injected faults.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <vector>

#include "i2c_slave.h"
#include "scenario.h"

namespace tsim {

class Board;

struct I2cMessage {
  std::uint16_t addr;
  std::uint16_t flags;  // I2C_M_RD for a read
  std::span<std::uint8_t> buf;
};

class I2cAdapter {
 public:
  I2cAdapter(int number, Board &board) : number_(number), board_(board) {}

  int number() const { return number_; }
  bool busy(int addr) const { return busy_.count(addr) != 0; }
  bool has_slave(int addr) const { return slaves_.count(addr) != 0; }

  // Runs the messages in order, stopping at the first failure: each message's address is
  // acknowledged by a present slave, then its data goes to the slave. 0 or an errno value.
  int transfer(std::span<I2cMessage> msgs);

  void add_slave(int addr, std::unique_ptr<I2cSlave> s) { slaves_[addr] = std::move(s); }
  void add_busy(int addr) { busy_.insert(addr); }
  void add_fault(const Fault &f) { faults_.push_back(f); }

 private:
  int check_faults(int addr);
  int number_;
  Board &board_;
  std::map<int, std::unique_ptr<I2cSlave>> slaves_;
  std::set<int> busy_;
  std::vector<Fault> faults_;
};

}  // namespace tsim
