// Console command parser: words of a line dispatched to a command table's handlers.
#include "tarsa/vx_cmdparser.h"

#include <strings.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "core/vx_codes.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_memory.h"

namespace {

namespace err = tarsa::err;

constexpr const char *kSeparators = " \t";

// The copy of the line behind the word vx_get_arg last returned; replaced by the next call.
char *arg_copy = nullptr;

void release_arg_copy() {
  std::free(arg_copy);
  arg_copy = nullptr;
}

}  // namespace

int vx_parse_command(char *line, const vx_command_t *table, void *data) {
  if (line == nullptr || table == nullptr)
    return vx_error("vx_cmdparser", __LINE__, "vx_parse_command", err::InvalidValue);

  std::array<char *, VX_CMD_MAX_WORDS> words{};
  int count = 0;
  for (char *word = std::strtok(line, kSeparators); word != nullptr;
       word = std::strtok(nullptr, kSeparators)) {
    if (count == VX_CMD_MAX_WORDS)
      return vx_error("vx_cmdparser", __LINE__, "vx_parse_command", err::TooManyArguments);
    words[count++] = word;
  }
  if (count == 0) return 0;

  const vx_command_t *cmd = table;
  while (cmd->name != nullptr && strcasecmp(cmd->name, words[0]) != 0) ++cmd;
  if (cmd->name == nullptr)
    return vx_error("vx_cmdparser", __LINE__, "vx_parse_command", err::UnknownCommand, words[0]);

  const int nargs = count - 1;
  if (cmd->min_args != -1 && nargs < cmd->min_args)
    return vx_error("vx_cmdparser", __LINE__, "vx_parse_command", err::TooFewCommandArguments,
                    cmd->name, static_cast<int>(cmd->min_args));
  if (cmd->max_args != -1 && nargs > cmd->max_args)
    return vx_error("vx_cmdparser", __LINE__, "vx_parse_command", err::TooManyCommandArguments,
                    cmd->name, static_cast<int>(cmd->max_args));
  if (cmd->handler == nullptr) return 0;
  const int r = cmd->handler(count, words.data(), data);
  return r < 0 ? r : 0;
}

int vx_find_command(const char *name, const vx_command_t *table) {
  if (name == nullptr || table == nullptr)
    return vx_error("vx_cmdparser", __LINE__, "vx_find_command", err::InvalidValue);
  for (int i = 0; table[i].name != nullptr; ++i)
    if (strcasecmp(table[i].name, name) == 0) return i;
  return vx_error("vx_cmdparser", __LINE__, "vx_find_command", err::UnknownCommand, name);
}

int vx_find_string(const char *word, const char *const *list) {
  if (word == nullptr || list == nullptr) return -1;
  for (int i = 0; list[i] != nullptr; ++i)
    if (strcasecmp(list[i], word) == 0) return i;
  return -1;
}

const char *vx_get_arg(const char *line, int index) {
  release_arg_copy();
  if (line == nullptr || index < 0) return nullptr;
  const size_t len = std::strlen(line);
  arg_copy = static_cast<char *>(vx_alloc(static_cast<int>(len + 1)));
  std::memcpy(arg_copy, line, len + 1);

  const char *found = nullptr;
  int count = 0;
  for (char *word = std::strtok(arg_copy, kSeparators); word != nullptr;
       word = std::strtok(nullptr, kSeparators)) {
    if (count == VX_CMD_MAX_WORDS) {
      release_arg_copy();
      return nullptr;
    }
    if (count == index) found = word;
    ++count;
  }
  if (found == nullptr) release_arg_copy();
  return found;
}
