// Helpers shared by the tests: bounded waits, pseudo-terminals, scratch files, a child run as an
// unprivileged user, and counting trace records.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
int run_unprivileged(const std::function<int()> &body, std::string *err = nullptr, double bound_s = 5.0);

// A GPIO trace record as "op gpio value label", with only the fields it has (the level a
// `get` read is left out): compares and prints well. Failure is left to the caller to mark.
std::string gpio_op(const nlohmann::json &record);

// Trace records with operation `op` (of node `dev` too, when given).
std::size_t count(const std::vector<nlohmann::json> &trace, const std::string &op, const std::string &dev = "");

}  // namespace testutil
