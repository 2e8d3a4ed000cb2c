/* Symbol table: named, typed entries in a fixed-size chained hash table, case-insensitive. */
#ifndef TARSA_VX_SYMBOL_H
#define TARSA_VX_SYMBOL_H

#include <pthread.h>
#include <stdint.h>

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/** Number of buckets of every table; tables never grow. */
#define VX_SYMBOL_BUCKETS 141
/** Size of a symbol's name buffer, NUL included. */
#define VX_SYMBOL_NAME_SIZE 128

/** Type codes of symbols, indexes into vx_symbol_type_names. */
#define VX_SYMBOL_SECTION 0
#define VX_SYMBOL_ALIAS 1
#define VX_SYMBOL_DEVICE 2
#define VX_SYMBOL_REGISTER 3

/** Names of the type codes ("section", "alias", "device", "register"), then a null pointer. */
TARSA_API extern const char *const vx_symbol_type_names[5];

/** One symbol. The caller allocates it with malloc and fills name, type, owns_value and value;
 *  once vx_add_symbol() accepted it, the table owns it (and `value` when owns_value is set). */
typedef struct vx_symbol {
  char name[VX_SYMBOL_NAME_SIZE]; /**< NUL-terminated name, compared without regard to case */
  int type;                       /**< VX_SYMBOL_* type code */
  int owns_value;                 /**< non-zero: the table frees `value` with free() */
  void *value;                    /**< the symbol's data, opaque to the table */
  struct vx_symbol *next;         /**< next symbol of the same bucket, set by the table */
} vx_symbol_t;

/** Symbol table. */
typedef struct vx_symbol_table {
  pthread_mutex_t lock;                    /**< guards insertion */
  vx_symbol_t *buckets[VX_SYMBOL_BUCKETS]; /**< chain heads, newest first */
  int count;                               /**< number of symbols inserted */
} vx_symbol_table_t;

/** Initialises `table`, or a new table allocated with vx_alloc() when `table` is null (the
 *  caller then frees it with free() after vx_destroy_symbol_table()).
 *  @return the initialised table, never null */
TARSA_API vx_symbol_table_t *vx_create_symbol_table(vx_symbol_table_t *table);

/** Frees every symbol, and every value whose symbol has owns_value set; leaves the table empty.
 *  The table record itself is not freed, and must be created again before further use.
 *  Must not run concurrently with any other operation on the table. */
TARSA_API void vx_destroy_symbol_table(vx_symbol_table_t *table);

/** Hash of a name: h = h * 4 + tolower(byte) over its bytes, wrapping modulo 2^32.
 *  The bucket of a name is vx_hash(name) % VX_SYMBOL_BUCKETS. */
TARSA_API uint32_t vx_hash(const char *name);

/** Inserts `symbol` (its name is cut to 127 characters if it fills the whole buffer). Safe
 *  against concurrent adds and lookups.
 *  @return 1 when inserted (the table now owns it); 0 when a symbol of the same name, ignoring
 *  case, is already present or an argument is null (the symbol then stays the caller's) */
TARSA_API int vx_add_symbol(vx_symbol_table_t *table, vx_symbol_t *symbol);

/** @return the symbol named `name` ignoring case, owned by the table, or null */
TARSA_API vx_symbol_t *vx_lookup_symbol(vx_symbol_table_t *table, const char *name);

/** Prints a header, one " %-32s %-32s\n" line (name, type name) per symbol in bucket order and a
 *  closing line through vx_msg(). */
TARSA_API void vx_dump_symbol_table(vx_symbol_table_t *table);

TARSA_END_DECLS

#endif
