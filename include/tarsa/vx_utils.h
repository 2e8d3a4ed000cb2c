/* Console control of the interactive programs: key polling, terminal modes, cursor sequences. */
#ifndef TARSA_VX_UTILS_H
#define TARSA_VX_UTILS_H

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/** Counts the bytes waiting on standard input without reading them; the terminal is put in
 *  non-canonical mode for the count and restored right after.
 *  @return the number of bytes waiting (0 when none), or -1 when standard input is no terminal
 *  or a terminal call failed */
TARSA_API int vx_kbhit(void);

/** `mode` 1 saves the terminal settings of standard input and switches off line buffering and
 *  echo; any other value restores the settings saved by the last mode-1 call, once.
 *  @return the result of tcsetattr (0 or -1), or `mode` when there was nothing to restore */
TARSA_API int vx_change_term_mode(int mode);

/** The functions below write an ANSI escape sequence with printf on standard output, without
 *  flushing it. Rows and columns count from 1. Each returns the result of its last printf. */

/** Clears the screen and moves the cursor to row 1, column 1. */
TARSA_API int vx_clrscr(void);
/** Moves the cursor to column `x`, row `y`. */
TARSA_API int vx_move_cursor(int x, int y);
/** Moves the cursor to the start of row `line` and erases that row. */
TARSA_API int vx_erase_line(int line);
/** Moves the cursor to column `column` of the current row. */
TARSA_API int vx_move_cursor_column(int column);
/** Moves the cursor to row `line`, keeping the column. */
TARSA_API int vx_move_cursor_line(int line);

TARSA_END_DECLS

#endif
