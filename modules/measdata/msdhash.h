// Name hash table: FNV-1a hashed names, a power-of-two number of buckets, chained elements.
// Used for the measurement-variable name table and the variable registry.
//
// A table is filled once, before anyone looks names up; lookups then need no lock. Adding while
// others look up needs the caller's own lock.
#pragma once

#include <cstdint>

struct msdhash_elem_t {
    const char* name;
    const void* value;
    msdhash_elem_t* next;
};

struct msdhash_t {
    uint32_t mask;  // bucket count - 1
    uint32_t count; // elements entered
    msdhash_elem_t** buckets;
};

// 32-bit FNV-1a of a NUL-terminated name.
uint32_t msdhash_fnv1a(const char* name);

// A table with `buckets` rounded up to a power of two (at least 1, at most 2^24); none when out of
// memory or too large.
msdhash_t* msdhash_create(uint32_t buckets);
// Frees the table itself; the elements belong to whoever provided them.
void msdhash_delete(msdhash_t* table);

// Fills the caller's element {name, value, next = none} and appends it at the end of its bucket's
// chain, so that a lookup finds the first of two equal names. Allocates nothing. An element that
// is already in that chain is left where it is (no chain may point back to itself). 1 when the
// element is in the table, 0 for a null table, element or name.
int msdhash_addPreAllocElement(msdhash_t* table, msdhash_elem_t* element, const char* name,
                               const void* value);

// The value of the first element with that name; none when not found.
const void* msdhash_find(const msdhash_t* table, const char* name);
