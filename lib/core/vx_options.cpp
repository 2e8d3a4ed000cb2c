// A program's command line, checked before the library starts: --help, and options nobody reads.
// No getopt here: vx_init reads the library's options with getopt_long afterwards, from the
// state the program left, and the I2C binding reads argv as it stands.
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tarsa/vx_init.h"

namespace {

// The line every program's help ends with; the page holds what the options do.
constexpr const char *kLibraryLine =
    "Library options (-d N, -v, --i2c-device PATH, --i2c-scan): see tarsa-options(7).\n";

constexpr int kUsageError = 2;

enum class Arg { none, required, optional };

struct LongOption {
  std::string_view name;
  Arg arg;
  bool exact;  // read by a strcmp elsewhere: no prefix, no "=value"
};

Arg arg_kind(int has_arg) {
  return has_arg == required_argument   ? Arg::required
         : has_arg == optional_argument ? Arg::optional
                                        : Arg::none;
}

class Checker {
 public:
  Checker(const char *argv0, const char *usage, const char *shortopts, const option *longopts)
      : usage_(usage != nullptr ? usage : "") {
    const char *slash = argv0 != nullptr ? std::strrchr(argv0, '/') : nullptr;
    program_ = slash != nullptr ? slash + 1 : (argv0 != nullptr ? argv0 : "");
    shorts_ = "hd:v";
    if (shortopts != nullptr) {
      while (*shortopts == '+' || *shortopts == '-' || *shortopts == ':') ++shortopts;
      shorts_ += shortopts;
    }
    longs_ = {{"help", Arg::none, false},
              {"debug", Arg::required, false},
              {"version", Arg::none, false},
              {"i2c-device", Arg::required, true},
              {"i2c-scan", Arg::none, true}};
    for (const option *o = longopts; o != nullptr && o->name != nullptr; ++o)
      longs_.push_back({o->name, arg_kind(o->has_arg), false});
  }

  int check(int argc, char *const argv[]) {
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
      const char *a = argv[i];
      if (a[0] != '-' || a[1] == '\0') continue;  // an operand
      if (std::strcmp(a, "--") == 0) break;
      const bool next = i + 1 < argc && argv[i + 1] != nullptr;
      int r = VX_OPTIONS_OK;
      bool took_next = false;
      if (a[1] == '-')
        r = long_option(a + 2, next, &took_next);
      else
        r = short_options(a + 1, next, &took_next);
      if (r != VX_OPTIONS_OK) return r;
      if (took_next) ++i;
    }
    return VX_OPTIONS_OK;
  }

 private:
  int help() {
    print(stdout);
    return 0;
  }

  int bad(const std::string &what) {
    std::fprintf(stderr, "%s: %s\n", program_.c_str(), what.c_str());
    print(stderr);
    return kUsageError;
  }

  void print(std::FILE *to) const {
    std::fputs(usage_.c_str(), to);
    if (!usage_.empty() && usage_.back() != '\n') std::fputc('\n', to);
    std::fputs(kLibraryLine, to);
  }

  int long_option(const char *body, bool next, bool *took_next) {
    const char *eq = std::strchr(body, '=');
    const std::string_view name(
        body, eq != nullptr ? static_cast<std::size_t>(eq - body) : std::strlen(body));
    const std::string shown = "'--" + std::string(name) + "'";
    const LongOption *found = nullptr;
    for (const LongOption &o : longs_)
      if (o.name == name) {
        found = &o;
        break;
      }
    if (found == nullptr) {
      // As getopt_long: a unique prefix stands for the whole name.
      for (const LongOption &o : longs_) {
        if (o.exact || o.name.substr(0, name.size()) != name) continue;
        if (found != nullptr && found->name != o.name) return bad("ambiguous option " + shown);
        found = &o;
      }
    }
    if (found == nullptr || name.empty()) return bad("unknown option " + shown);
    const std::string full = "'--" + std::string(found->name) + "'";
    if (eq != nullptr) {
      if (found->exact) return bad("option " + full + " takes its argument as the next word");
      if (found->arg == Arg::none) return bad("option " + full + " takes no argument");
    } else if (found->arg == Arg::required) {
      if (!next) return bad("option " + full + " needs an argument");
      *took_next = true;
    }
    if (found->name == "help") return help();
    return VX_OPTIONS_OK;
  }

  int short_options(const char *cluster, bool next, bool *took_next) {
    for (const char *p = cluster; *p != '\0'; ++p) {
      const char c = *p;
      const std::size_t at = c == ':' ? std::string::npos : shorts_.find(c);
      if (at == std::string::npos) return bad(std::string("unknown option '-") + c + "'");
      if (c == 'h') return help();
      const bool takes = shorts_[at + 1] == ':';
      if (!takes) continue;
      const bool optional = takes && shorts_[at + 2] == ':';
      if (p[1] != '\0' || optional) return VX_OPTIONS_OK;  // the rest of the word is its argument
      if (!next) return bad(std::string("option '-") + c + "' needs an argument");
      *took_next = true;
      return VX_OPTIONS_OK;
    }
    return VX_OPTIONS_OK;
  }

  std::string program_, usage_, shorts_;
  std::vector<LongOption> longs_;
};

}  // namespace

extern "C" int vx_check_options(int argc, char *const argv[], const char *usage,
                                const char *shortopts, const struct option *longopts) {
  if (argc <= 0 || argv == nullptr) return VX_OPTIONS_OK;
  try {
    return Checker(argv[0], usage, shortopts, longopts).check(argc, argv);
  } catch (...) {
    return VX_OPTIONS_OK;  // out of memory: the command line stays for vx_init to read
  }
}
