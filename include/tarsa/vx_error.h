/* Messages, debug output and numbered error reports of the library. */
#ifndef TARSA_VX_ERROR_H
#define TARSA_VX_ERROR_H

#include <stdarg.h>

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

#if defined(__GNUC__)
#define VX_PRINTF_LIKE(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define VX_PRINTF_LIKE(fmt, first)
#endif

/** Number of entries of vx_errmsg (codes 0 to 58, then a null end marker). */
#define VX_ERRMSG_COUNT 60
/** Number of entries of vx_warnmsg (codes 0 to 4, then a null end marker). */
#define VX_WARNMSG_COUNT 6

/** printf formats of the error codes, indexed by code; entry 59 is null. */
TARSA_API extern const char *const vx_errmsg[VX_ERRMSG_COUNT];
/** printf formats of the warning codes, indexed by code; entry 5 is null. */
TARSA_API extern const char *const vx_warnmsg[VX_WARNMSG_COUNT];

/** Debug level, 0 at load: 0 prints errors without their location, 1 or more adds
 *  "Error: file:line:function " in front of errors, 2 or more adds "Warning: " to warnings. */
TARSA_API extern unsigned int vx_debug_level;
/** Debug mask, 0 at load: vx_debug() prints only when its mask shares a bit with this one. */
TARSA_API extern int vx_debug_mask;

/** Error handler: receives every error report instead of standard error. A report made while
 *  the handler runs is printed instead of re-entering it. `args` belongs to the caller. */
typedef void (*vx_error_handler_t)(const char *file, unsigned line, const char *function, int code,
                                   va_list args);

/** Stores `mask` in vx_debug_mask. @return mask */
TARSA_API int vx_set_debug_mask(int mask);
/** Stores `level` in vx_debug_level. @return level */
TARSA_API unsigned vx_set_debug_level(unsigned level);
/** Installs `handler` for error reports; null removes it. */
TARSA_API void vx_set_error_handler(vx_error_handler_t handler);

/** Prints the formatted text on standard output as it is (no prefix, no newline).
 *  @return the result of vfprintf */
TARSA_API int vx_msg(const char *fmt, ...) VX_PRINTF_LIKE(1, 2);
/** va_list form of vx_msg(). */
TARSA_API int vx_vmsg(const char *fmt, va_list args);

/** Prints "Debug> file:line:function ", the formatted text and a newline on standard output,
 *  only when `mask` shares a bit with vx_debug_mask. The debug level plays no part. */
TARSA_API void vx_debug(const char *file, unsigned line, const char *function, int mask,
                        const char *fmt, ...) VX_PRINTF_LIKE(5, 6);
/** va_list form of vx_debug(). */
TARSA_API void vx_vdebug(const char *file, unsigned line, const char *function, int mask,
                         const char *fmt, va_list args);

/** Reports error `code` (message vx_errmsg[code] filled from the further arguments) through the
 *  installed handler, or on standard error with a newline. Codes outside the table are printed
 *  as "unknown error <code>".
 *  @return -code */
TARSA_API int vx_error(const char *file, unsigned line, const char *function, int code, ...);
/** va_list form of vx_error(). */
TARSA_API int vx_verror(const char *file, unsigned line, const char *function, int code,
                        va_list args);

/** Prints warning `code` (vx_warnmsg[code] filled from the further arguments) and a newline on
 *  standard error, after "Warning: " at level 2 or more. Never goes to the handler.
 *  Codes outside the table are printed as "unknown warning <code>".
 *  @return code */
TARSA_API int vx_warning(int code, ...);
/** va_list form of vx_warning(). */
TARSA_API int vx_vwarning(int code, va_list args);

/** Reports as vx_error(), then ends the process with exit status 200 (atexit handlers run). */
TARSA_API void vx_fatal(const char *file, unsigned line, const char *function, int code, ...)
#if defined(__GNUC__)
    __attribute__((noreturn))
#endif
    ;

TARSA_END_DECLS

#endif
