// Symbol table: fixed-size chained hash of case-insensitive names, for the configuration.
#include "tarsa/vx_symbol.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>

#include "tarsa/vx_error.h"
#include "tarsa/vx_memory.h"

// "alias" keeps its place (type 1) though the configuration makes no aliases: the type codes
// are public.
const char *const vx_symbol_type_names[5] = {"section", "alias", "device", "register", nullptr};

namespace {

constexpr const char *kHyphens =
    "------------------------------------------------------------------\n";
constexpr const char *kEquals =
    "==================================================================\n";

// Bucket heads are published with release stores and read with acquire loads, so that a lookup
// running beside an add sees either the old chain or the complete new one.
vx_symbol_t *head_of(vx_symbol_table_t *table, uint32_t bucket) {
  return __atomic_load_n(&table->buckets[bucket], __ATOMIC_ACQUIRE);
}

uint32_t bucket_of(const char *name) {
  return vx_hash(name) % VX_SYMBOL_BUCKETS;
}

vx_symbol_t *find_in_chain(vx_symbol_t *sym, const char *name) {
  for (; sym != nullptr; sym = sym->next)
    if (strcasecmp(sym->name, name) == 0) return sym;
  return nullptr;
}

}  // namespace

uint32_t vx_hash(const char *name) {
  uint32_t h = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p != 0; ++p)
    h = h * 4u + static_cast<uint32_t>(std::tolower(*p));
  return h;
}

vx_symbol_table_t *vx_create_symbol_table(vx_symbol_table_t *table) {
  if (table == nullptr)
    table = static_cast<vx_symbol_table_t *>(vx_alloc(sizeof(vx_symbol_table_t)));
  pthread_mutex_init(&table->lock, nullptr);
  table->count = 0;
  for (auto &head : table->buckets) head = nullptr;
  return table;
}

void vx_destroy_symbol_table(vx_symbol_table_t *table) {
  if (table == nullptr) return;
  pthread_mutex_destroy(&table->lock);
  table->count = 0;
  for (auto &head : table->buckets) {
    vx_symbol_t *sym = head;
    while (sym != nullptr) {
      vx_symbol_t *next = sym->next;
      if (sym->owns_value) std::free(sym->value);
      std::free(sym);
      sym = next;
    }
    // Emptied so that a stray lookup finds nothing rather than freed symbols.
    head = nullptr;
  }
}

int vx_add_symbol(vx_symbol_table_t *table, vx_symbol_t *symbol) {
  if (table == nullptr || symbol == nullptr) return 0;
  symbol->name[VX_SYMBOL_NAME_SIZE - 1] = '\0';
  symbol->next = nullptr;
  const uint32_t bucket = bucket_of(symbol->name);
  // The duplicate scan runs under the lock too, so two threads adding one name cannot both win.
  pthread_mutex_lock(&table->lock);
  vx_symbol_t *head = table->buckets[bucket];
  if (find_in_chain(head, symbol->name) != nullptr) {
    pthread_mutex_unlock(&table->lock);
    return 0;
  }
  symbol->next = head;
  __atomic_store_n(&table->buckets[bucket], symbol, __ATOMIC_RELEASE);
  table->count++;
  pthread_mutex_unlock(&table->lock);
  return 1;
}

vx_symbol_t *vx_lookup_symbol(vx_symbol_table_t *table, const char *name) {
  if (table == nullptr || name == nullptr) return nullptr;
  return find_in_chain(head_of(table, bucket_of(name)), name);
}

void vx_dump_symbol_table(vx_symbol_table_t *table) {
  if (table == nullptr) return;
  vx_msg("%s", kHyphens);
  vx_msg(" Name                             Type                            \n");
  vx_msg("%s", kHyphens);
  for (uint32_t b = 0; b < VX_SYMBOL_BUCKETS; ++b) {
    for (vx_symbol_t *sym = head_of(table, b); sym != nullptr; sym = sym->next) {
      // An unchecked type code must not index past the name table.
      const char *type = sym->type >= 0 && sym->type < 4 ? vx_symbol_type_names[sym->type] : "?";
      vx_msg(" %-32s %-32s\n", sym->name, type);
    }
  }
  vx_msg("%s", kEquals);
}
