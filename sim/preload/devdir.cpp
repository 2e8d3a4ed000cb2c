// Listing /dev: the board's device nodes appear in it as the kernel's would, after the host's own
// entries, so that tools which look for devices by reading the directory (v4l2-ctl
// --list-devices, ls) find them. Only directories opened by opendir("/dev") are extended; a node
// is listed while stat finds it (a device not yet powered, or removed by a fault, is not).
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "runtime.h"
#include "stat_fill.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

using namespace tsim;

namespace {

template <class F>
F next_fn(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// A listing of /dev in progress: the names the host gave, then the board's nodes.
struct Listing {
  std::set<std::string> seen;
  std::vector<std::string> extra;
  bool host_done = false;
  std::size_t next = 0;
  dirent entry{};
  dirent64 entry64{};
};

std::mutex g_mutex;
// Never freed: a listing may still be read while the process exits.
std::map<DIR *, Listing> &listings() {
  static auto *m = new std::map<DIR *, Listing>;
  return *m;
}

bool is_dev(const char *path) {
  return path && (std::strcmp(path, "/dev") == 0 || std::strcmp(path, "/dev/") == 0);
}

// The board's nodes directly in /dev that stat finds now.
std::vector<std::string> board_nodes() {
  std::vector<std::string> paths;
  try {
    Guard g;
    const Scenario &s = rt().board().scenario();
    for (const AdapterRecord &a : s.adapters) paths.push_back(a.node);
    if (s.gpio) paths.push_back(s.gpio->node);
    if (s.serial)
      for (const DeviceRecord &d : s.serial->devices) paths.push_back(d.node);
    if (s.video)
      for (const DeviceRecord &d : s.video->devices) paths.push_back(d.node);
  } catch (...) {
    return {};
  }
  std::vector<std::string> names;
  for (const std::string &p : paths) {
    if (p.rfind("/dev/", 0) != 0 || p.size() == 5 || p.find('/', 5) != std::string::npos) continue;
    Attr a{};
    if (emu_attr_path(p.c_str(), &a) == 0) names.push_back(p.substr(5));
  }
  return names;
}

// The next of the board's names for `l`, or null at the end.
const char *next_extra(Listing &l) {
  while (l.next < l.extra.size()) {
    const std::string &n = l.extra[l.next++];
    if (l.seen.insert(n).second) return n.c_str();
  }
  return nullptr;
}

template <class E>
E *fill_entry(E *e, const char *name) {
  std::memset(e, 0, sizeof *e);
  std::size_t h = std::hash<std::string>{}(name);
  e->d_ino = static_cast<decltype(e->d_ino)>(h | 1);
  e->d_reclen = sizeof *e;
  e->d_type = DT_CHR;
  std::strncpy(e->d_name, name, sizeof e->d_name - 1);
  return e;
}

// readdir and readdir64: the host's entries of `dir`, then, for a listing of /dev, the board's.
template <class E>
E *read_entry(DIR *dir, E *(*pass)(DIR *), E Listing::*slot) {
  if (!pass) return nullptr;
  std::unique_lock lock(g_mutex);
  auto it = listings().find(dir);
  if (it == listings().end()) {
    lock.unlock();
    return pass(dir);
  }
  Listing &l = it->second;
  if (!l.host_done) {
    // The simulator's lock is never taken under this one.
    lock.unlock();
    E *e = pass(dir);
    std::vector<std::string> nodes;
    if (!e) nodes = board_nodes();
    lock.lock();
    if (e) {
      l.seen.insert(e->d_name);
      return e;
    }
    l.host_done = true;
    l.extra = std::move(nodes);
  }
  const char *name = next_extra(l);
  return name ? fill_entry(&(l.*slot), name) : nullptr;
}

}  // namespace

EXPORT DIR *opendir(const char *path) {
  static auto pass = next_fn<DIR *(*)(const char *)>("opendir");
  DIR *dir = pass ? pass(path) : nullptr;
  if (dir && is_dev(path)) {
    std::lock_guard lock(g_mutex);
    listings()[dir] = Listing{};
  }
  return dir;
}

EXPORT int closedir(DIR *dir) {
  static auto pass = next_fn<int (*)(DIR *)>("closedir");
  {
    std::lock_guard lock(g_mutex);
    listings().erase(dir);
  }
  return pass ? pass(dir) : -1;
}

EXPORT void rewinddir(DIR *dir) {
  static auto pass = next_fn<void (*)(DIR *)>("rewinddir");
  {
    std::lock_guard lock(g_mutex);
    if (auto it = listings().find(dir); it != listings().end()) it->second = Listing{};
  }
  if (pass) pass(dir);
}

EXPORT dirent *readdir(DIR *dir) {
  static auto pass = next_fn<dirent *(*)(DIR *)>("readdir");
  return read_entry(dir, pass, &Listing::entry);
}

EXPORT dirent64 *readdir64(DIR *dir) {
  static auto pass = next_fn<dirent64 *(*)(DIR *)>("readdir64");
  return read_entry(dir, pass, &Listing::entry64);
}
