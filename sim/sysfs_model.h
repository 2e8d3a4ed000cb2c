// Interface of a sysfs device model (the PWM chip): a tree of attribute files and directories
// whose texts the model gives and whose writes it takes, under the simulator lock.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tsim {

class SysfsModel {
 public:
  struct File {
    std::string path;
    unsigned mode;  // permission bits
    bool dir;
    bool always;  // there for the model's whole life; else present() says when
  };

  virtual ~SysfsModel() = default;
  // Every path of the tree, whether there now or not.
  virtual const std::vector<File> &files() const = 0;
  // Whether the file at `path` (one not `always` there) is there now.
  virtual bool present(std::string_view path) const = 0;
  // The text of the file at `path`, or an errno value.
  virtual int read(std::string_view path, std::string *text) const = 0;
  // Writes `text` to the file at `path`: 0 or an errno value.
  virtual int write(std::string_view path, std::string_view text) = 0;
};

}  // namespace tsim
