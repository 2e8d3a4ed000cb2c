// Latency of tarsa-bridge's ROS 2 front-end, read to delivery: the bridge runs on the simulated
// board with the range finder, its Foxglove server, a recording and ROS 2 on; a DDS participant
// of this program takes /imu, /odom (20 Hz) and /scan (about 8 Hz) as they come and compares
// each message's stamp (the time its sample was read, on the wall clock) with the time it
// arrived. Over the same run, the bridge's CPU time per second of wall time.
//   bench_ros2 [seconds]   (default 20)
#include <dds/dds.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include "nav_msgs.h"
#include "sensor_msgs.h"
}

extern char **environ;

namespace {

double wall_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double stamp(const builtin_interfaces_msg_dds__Time_ &t) {
  return t.sec + t.nanosec / 1e9;
}

std::string slurp(const std::string &path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The process running `name` among the descendants of `pid`; -1 when none.
pid_t descendant(pid_t pid, const std::string &name) {
  if (slurp("/proc/" + std::to_string(pid) + "/comm") == name + "\n") return pid;
  std::istringstream kids(
      slurp("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
  for (pid_t k; kids >> k;)
    if (pid_t d = descendant(k, name); d > 0) return d;
  return -1;
}

// User and system CPU time of `pid` so far, seconds.
double cpu_seconds(pid_t pid) {
  std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

struct Series {
  const char *name;
  std::vector<double> ms;
  void report() {
    if (ms.empty()) {
      std::printf("%-8s no messages\n", name);
      return;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, std::size_t(q * ms.size()))]; };
    std::printf("%-8s %5zu messages  median %.3f ms  p99 %.3f ms  max %.3f ms\n", name, ms.size(),
                at(0.5), at(0.99), ms.back());
  }
};

dds_entity_t reader(dds_entity_t pp, const dds_topic_descriptor_t *desc, const char *topic) {
  dds_entity_t t = dds_create_topic(pp, desc, topic, nullptr, nullptr);
  dds_qos_t *q = dds_create_qos();
  dds_qset_reliability(q, DDS_RELIABILITY_BEST_EFFORT, 0);
  dds_qset_history(q, DDS_HISTORY_KEEP_LAST, 50);
  dds_entity_t r = dds_create_reader(pp, t, q, nullptr);
  dds_delete_qos(q);
  return r;
}

template <class T>
void take(dds_entity_t r, Series &s, double now) {
  void *buf[16] = {};
  dds_sample_info_t info[16];
  dds_return_t n;
  while ((n = dds_take(r, buf, info, 16, 16)) > 0) {
    for (int i = 0; i < n; ++i)
      if (info[i].valid_data)
        s.ms.push_back((now - stamp(static_cast<const T *>(buf[i])->header.stamp)) * 1e3);
    dds_return_loan(r, buf, n);
  }
}

}  // namespace

int main(int argc, char **argv) {
  const double run_s = argc > 1 ? std::atof(argv[1]) : 20;
  const int domain = 1 + int(getpid() % 200);
  setenv("CYCLONEDDS_URI",
         "<General><Interfaces><NetworkInterface name=\"lo\"/></Interfaces><AllowMulticast>false"
         "</AllowMulticast></General><Discovery><Peers><Peer address=\"127.0.0.1\"/></Peers>"
         "<ParticipantIndex>auto</ParticipantIndex></Discovery>",
         1);
  char dir[] = "/tmp/bench_ros2_XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string config = std::string(dir) + "/tarsa.toml";
  std::ofstream(config) << slurp(TARSA_SOURCE_DIR "/tarsa.toml.sample")
                        << "\n[bridge]\nros2 = true\nlrf = true\nros2_domain = " << domain << "\n";
  setenv("TARSA_CONFIG", config.c_str(), 1);
  const std::string record = std::string(dir) + "/run.mcap", out = std::string(dir) + "/out.txt";
  std::vector<std::string> args = {TARSA_SIM_LAUNCHER, "--",        TARSA_BRIDGE, "--port", "0",
                                   "--bind",           "127.0.0.1", "--record",   record};
  std::vector<char *> cargs;
  for (auto &a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t launcher = -1;
  if (posix_spawn(&launcher, cargs[0], &fa, nullptr, cargs.data(), environ) != 0) return 1;

  dds_entity_t pp = dds_create_participant(dds_domainid_t(domain), nullptr, nullptr);
  Series imu{"/imu", {}}, odom{"/odom", {}}, scan{"/scan", {}};
  dds_entity_t r_imu = reader(pp, &sensor_msgs_msg_dds__Imu__desc, "rt/imu");
  dds_entity_t r_odom = reader(pp, &nav_msgs_msg_dds__Odometry__desc, "rt/odom");
  dds_entity_t r_scan = reader(pp, &sensor_msgs_msg_dds__LaserScan__desc, "rt/scan");
  dds_entity_t ws = dds_create_waitset(pp);
  for (dds_entity_t r : {r_imu, r_odom, r_scan})
    dds_waitset_attach(ws, dds_create_readcondition(r, DDS_ANY_STATE), r);

  // Start-up first: the measurement begins with the first scan.
  pid_t bridge = -1;
  const double give_up = wall_now() + 60;
  while (scan.ms.empty() && wall_now() < give_up) {
    dds_waitset_wait(ws, nullptr, 0, DDS_MSECS(100));
    take<sensor_msgs_msg_dds__LaserScan_>(r_scan, scan, wall_now());
  }
  bridge = descendant(launcher, "tarsa-bridge");
  imu.ms.clear(), odom.ms.clear(), scan.ms.clear();
  take<sensor_msgs_msg_dds__Imu_>(r_imu, imu, 0);
  take<nav_msgs_msg_dds__Odometry_>(r_odom, odom, 0);
  imu.ms.clear(), odom.ms.clear();
  const double t0 = wall_now(), cpu0 = bridge > 0 ? cpu_seconds(bridge) : 0;
  while (wall_now() - t0 < run_s) {
    dds_waitset_wait(ws, nullptr, 0, DDS_MSECS(100));
    const double now = wall_now();
    take<sensor_msgs_msg_dds__Imu_>(r_imu, imu, now);
    take<nav_msgs_msg_dds__Odometry_>(r_odom, odom, now);
    take<sensor_msgs_msg_dds__LaserScan_>(r_scan, scan, now);
  }
  const double cpu = bridge > 0 ? cpu_seconds(bridge) - cpu0 : 0, wall = wall_now() - t0;
  kill(launcher, SIGINT);
  if (bridge > 0) kill(bridge, SIGINT);
  int status = 0;
  waitpid(launcher, &status, 0);
  dds_delete(pp);

  std::printf("read to delivery over %.0f s (Foxglove server, recording and ROS 2 on):\n", wall);
  imu.report();
  odom.report();
  scan.report();
  if (bridge > 0)
    std::printf("tarsa-bridge CPU: %.1f %% of one core\n", 100 * cpu / wall);
  else
    std::printf("tarsa-bridge CPU: its process was not found\n");
  std::string cleanup = std::string("rm -rf ") + dir;
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
