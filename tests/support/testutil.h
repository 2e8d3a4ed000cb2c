// Helpers shared by the tests: bounded waits, pseudo-terminals, scratch files, a child run as an
// unprivileged user, and counting trace records.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace testutil {

// Polls `cond` until it holds; false once `bound_s` seconds passed without it holding.
bool eventually(const std::function<bool()> &cond, double bound_s);

// Opens the master side of a new pseudo-terminal, with its slave unlocked; `slave` gets the slave
// node's path. -1 when any step fails.
int open_pty(std::string &slave);

// Writes `content` to a new file of its own below the test scratch directory, its name starting
// with `stem`; returns the path, "" when it could not be written. The caller removes it.
std::string temp_file(const std::string &content, const std::string &stem = "tarsa_");

// Runs `body` in a child process as user and group 65534 with no supplementary groups (needs
// root) and returns the child's exit status: `body`'s result, or 125 when the child could not
// drop its rights. -1 when the child did not end normally within `bound_s` seconds (it is
// killed). With `err` given, it gets what the child wrote on standard error.
int run_unprivileged(const std::function<int()> &body, std::string *err = nullptr,
                     double bound_s = 5.0);

// A GPIO trace record as "op gpio value label", with only the fields it has (the level a
// `get` read is left out): compares and prints well. Failure is left to the caller to mark.
std::string gpio_op(const nlohmann::json &record);

// Trace records with operation `op` (of node `dev` too, when given).
std::size_t count(const std::vector<nlohmann::json> &trace, const std::string &op,
                  const std::string &dev = "");

// As above, trying `cond` every `every_s` seconds: for a condition that sends or costs something.
bool eventually(const std::function<bool()> &cond, double bound_s, double every_s);

// The whole content of the file at `path`; "" when it cannot be read.
std::string read_file(const std::string &path);

// Reads `fd` until `want` bytes came, the writer went away, or `bound_s` seconds passed. `rd`
// reads in place of read(2) when given (it returns what read(2) would).
std::string read_for(int fd, std::size_t want, double bound_s,
                     const std::function<ssize_t(int, char *, std::size_t)> &rd = {});

// A TCP socket connected to `to` (from the local address `from_ip` when given), tried again while
// nobody listens there yet, for up to `bound_s` seconds; -1 when it never connected.
int connect_tcp(const sockaddr_in &to, double bound_s, const char *from_ip = nullptr);

// Starts `argv` (argv[0] a path) as a child process: its standard output to the file `out` and its
// standard error to `err`, each created anew ("" leaves the stream as it is; err == out shares the
// file), its standard input from `in_fd` when >= 0, its environment `env` (empty: this process's).
// -1 when it could not be started.
pid_t spawn(const std::vector<std::string> &argv, const std::string &out = "",
            const std::string &err = "", int in_fd = -1, const std::vector<std::string> &env = {});

// Waits up to `bound_s` seconds for child `pid` to end and returns its exit status (128+N for
// signal N); otherwise kills it and returns -1.
int end_status(pid_t pid, double bound_s);

}  // namespace testutil
