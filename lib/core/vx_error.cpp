// Messages, debug lines and numbered error/warning reports of the library.
#include "tarsa/vx_error.h"

#include <cstdio>
#include <cstdlib>

#include "core/vx_codes.h"

unsigned int vx_debug_level = 0;
int vx_debug_mask = 0;

// Texts kept byte for byte, spelling and capitals included: programs, users and their scripts
// match them. Codes are their indexes (core/vx_codes.h names them).
const char *const vx_errmsg[VX_ERRMSG_COUNT] = {
    "no enough memory",                                                                    // 0
    "too many argument",                                                                   // 1
    "value %u %s out of range [ %u ; %u ]",                                                // 2
    "invalid value",                                                                       // 3
    "unknown command '%s'",                                                                // 4
    "invalid identifier '%s'",                                                             // 5
    "symbol '%s' already defined",                                                         // 6
    "unknown device class '%s'",                                                           // 7
    "device '%s' of class '%s' already defined",                                           // 8
    "invalid number '%s'",                                                                 // 9
    "unable to open file '%s'",                                                            // 10
    "no bus found for device '%s'",                                                        // 11
    "invalid order flags setting",                                                         // 12
    "unable to gain exclusive access",                                                     // 13
    "device in use",                                                                       // 14
    "unable to unlink device from bus devices",                                            // 15
    "unable to open '%s' bus",                                                             // 16
    "unable to scan '%s' bus",                                                             // 17
    "no device found with (%u,%u)",                                                        // 18
    "unable to open directory '%s'",                                                       // 19
    "no device found with (%s)",                                                           // 20
    "symbol '%s' not defined",                                                             // 21
    "no section defined ! %s '%s' must be defined in a section",                           // 22
    "command '%s' requires a minimum of %d arguments",                                     // 23
    "command '%s' accepts a maximum of %d arguments",                                      // 24
    "unknow bus name '%s'",                                                                // 25
    "no module bus address defined",                                                       // 26
    "no module bus specified",                                                             // 27
    "invalid device name '%s'",                                                            // 28
    "module '%s' not initialized",                                                         // 29
    "Unable to enable DUPLEX",                                                             // 30
    "Unable to set fragment",                                                              // 31
    "Bad FragExponent (%d!=%d)",                                                           // 32
    "Unable to get IPTR",                                                                  // 33
    "Unable to get OPTR",                                                                  // 34
    "Cannot create pthread (%s)",                                                          // 35
    "Bad sound file format (%s)",                                                          // 36
    "Unable to map memory at 0x%lx",                                                       // 37
    "Cannot open serial connexion to the LRF card as %s",                                  // 38
    "Too much data was about to be received, please update constant in sources : Nbr %d",  // 39
    "Timeout waiting for STX byte",                                                        // 40
    "Timeout waiting for ETX byte",                                                        // 41
    "Wrong STX has been received : 0x%2.2X",                                               // 42
    "Wrong ETX has been received : 0x%2.2X",                                               // 43
    "Timeout waiting for Data",                                                            // 44
    "The CRC computed doesn't match expected!",                                            // 45
    "Problem sending data to the LRF",                                                     // 46
    "Problem receiving certification code from LRF",                                       // 47
    "Error while sending command to LRF",                                                  // 48
    "Error while receiving distances from LRF",                                            // 49
    "Error while receiving datas from LRF",                                                // 50
    "Error while receiving command from Tarsa3 - Unexpected frame size format",            // 51
    "Error while receiving command from Tarsa3 - Frame size Real(%d)!=Expected(%d)",       // 52
    "Error while sending command to Tarsa3",                                               // 53
    "Unable to initialize the libtarsa from Tarsa3 init",                                  // 54
    "Error while receiving command from Tarsa4 (%d)",                                      // 55
    "Error while sending command to Tarsa4 (%d)",                                          // 56
    "Unable to initialize the libtarsa from Tarsa4 init",                                  // 57
    "Tarsa4 not initialized",                                                              // 58
    nullptr,  // end marker
};

const char *const vx_warnmsg[VX_WARNMSG_COUNT] = {
    "no configuration file available in %s",  // 0
    "unable to open directory '%s'",          // 1
    "Handling client %s",                     // 2
    "i/o error in reading file '%s' !",       // 3
    "error in playing sample errno=%d",       // 4
    nullptr,                                  // end marker
};

static_assert(tarsa::err::Count == VX_ERRMSG_COUNT - 1, "one name per error message");
static_assert(tarsa::warn::Count == VX_WARNMSG_COUNT - 1, "one name per warning message");

namespace {

vx_error_handler_t vx_user_error_handler = nullptr;
// Set while the handler runs, so that a report made from inside it is printed instead.
int in_error = 0;

// Codes outside the table are never passed by the library; a caller's stray code must not read
// past the table, so it is printed as a number.
const char *table_format(const char *const *table, int count, int code) {
  if (code < 0 || code >= count - 1) return nullptr;
  return table[code];
}

}  // namespace

int vx_set_debug_mask(int mask) {
  vx_debug_mask = mask;
  return mask;
}

unsigned vx_set_debug_level(unsigned level) {
  vx_debug_level = level;
  return level;
}

void vx_set_error_handler(vx_error_handler_t handler) {
  vx_user_error_handler = handler;
}

int vx_vmsg(const char *fmt, va_list args) {
  return std::vfprintf(stdout, fmt, args);
}

int vx_msg(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int r = vx_vmsg(fmt, args);
  va_end(args);
  return r;
}

void vx_vdebug(const char *file, unsigned line, const char *function, int mask, const char *fmt,
               va_list args) {
  if ((mask & vx_debug_mask) == 0) return;
  std::fprintf(stdout, "Debug> %s:%u:%s ", file, line, function);
  std::vfprintf(stdout, fmt, args);
  std::fputc('\n', stdout);
}

void vx_debug(const char *file, unsigned line, const char *function, int mask, const char *fmt,
              ...) {
  va_list args;
  va_start(args, fmt);
  vx_vdebug(file, line, function, mask, fmt, args);
  va_end(args);
}

int vx_verror(const char *file, unsigned line, const char *function, int code, va_list args) {
  if (vx_user_error_handler != nullptr && in_error == 0) {
    in_error = 1;
    vx_user_error_handler(file, line, function, code, args);
    in_error = 0;
    return -code;
  }
  if (vx_debug_level != 0) std::fprintf(stderr, "Error: %s:%u:%s ", file, line, function);
  if (const char *fmt = table_format(vx_errmsg, VX_ERRMSG_COUNT, code))
    std::vfprintf(stderr, fmt, args);
  else
    std::fprintf(stderr, "unknown error %d", code);
  std::fputc('\n', stderr);
  return -code;
}

int vx_error(const char *file, unsigned line, const char *function, int code, ...) {
  va_list args;
  va_start(args, code);
  int r = vx_verror(file, line, function, code, args);
  va_end(args);
  return r;
}

int vx_vwarning(int code, va_list args) {
  if (vx_debug_level > 1) std::fputs("Warning: ", stderr);
  if (const char *fmt = table_format(vx_warnmsg, VX_WARNMSG_COUNT, code))
    std::vfprintf(stderr, fmt, args);
  else
    std::fprintf(stderr, "unknown warning %d", code);
  std::fputc('\n', stderr);
  return code;
}

int vx_warning(int code, ...) {
  va_list args;
  va_start(args, code);
  int r = vx_vwarning(code, args);
  va_end(args);
  return r;
}

void vx_fatal(const char *file, unsigned line, const char *function, int code, ...) {
  va_list args;
  va_start(args, code);
  vx_verror(file, line, function, code, args);
  va_end(args);
  std::exit(200);
}
