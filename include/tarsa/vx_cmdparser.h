/* Console command parser: splits a line into words and calls the matching command's handler. */
#ifndef TARSA_VX_CMDPARSER_H
#define TARSA_VX_CMDPARSER_H

#include <stdint.h>

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/** Most words in one line, the command word included. */
#define VX_CMD_MAX_WORDS 128

/** Command handler: `argc` words (command word included), `argv[0]` the command word as typed.
 *  `argv` points into the parsed line, is not null-terminated and is valid only during the call. */
typedef int (*vx_command_handler_t)(int argc, char *argv[], void *data);

/** One command of a program's table; the table ends with a record whose `name` is null.
 *  The parser never copies or frees the table. */
typedef struct vx_command {
  const char *name;             /**< command word, matched without regard to case */
  int32_t min_args;             /**< least number of arguments, -1 for no lower bound */
  int32_t max_args;             /**< most number of arguments, -1 for no upper bound */
  vx_command_handler_t handler; /**< null for a command that does nothing */
} vx_command_t;

/** Splits `line` in place at runs of spaces and tabs (the buffer is changed), finds the command
 *  by its first word without regard to case, checks the argument count and calls the handler
 *  with `data`. Failures are reported through vx_error().
 *  @return 0 for an empty line, a command without handler or a handler result >= 0; the
 *  handler's result when negative; -3 for a null line or table, -1 for more than 128 words,
 *  -4 for an unknown command, -23 / -24 for too few / too many arguments */
TARSA_API int vx_parse_command(char *line, const vx_command_t *table, void *data);

/** @return the index of the first record of `table` named `name` without regard to case; -4
 *  after reporting error 4 when there is none; -3 after reporting error 3 for a null argument */
TARSA_API int vx_find_command(const char *name, const vx_command_t *table);

/** @return the index of the first entry of the null-terminated `list` equal to `word` without
 *  regard to case, or -1 (also for a null argument); nothing is reported */
TARSA_API int vx_find_string(const char *word, const char *const *list);

/** Word number `index` (0 is the command word) of `line`, which is left unchanged.
 *  @return a pointer into a copy of the line held by this module until the next vx_get_arg()
 *  call (do not free it; copy the word to keep it longer), or null when `line` is null, `index`
 *  is negative or not below the number of words, or the line has more than 128 words.
 *  Not safe to call from two threads at once. */
TARSA_API const char *vx_get_arg(const char *line, int index);

TARSA_END_DECLS

#endif
