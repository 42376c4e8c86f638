#include "measdata/msdhash.h"

#include <cstring>
#include <new>

uint32_t msdhash_fnv1a(const char* name) {
    uint32_t hash = 2166136261u;
    for (const auto* p = reinterpret_cast<const unsigned char*>(name); *p != 0; ++p) {
        hash ^= *p;
        hash *= 16777619u;
    }
    return hash;
}

msdhash_t* msdhash_create(uint32_t buckets) {
    constexpr uint32_t kMaxBuckets = 1u << 24;
    if (buckets > kMaxBuckets) {
        return nullptr;
    }
    uint32_t n = 1;
    while (n < buckets) {
        n <<= 1;
    }
    auto* table = new (std::nothrow) msdhash_t{n - 1, 0, nullptr};
    if (table == nullptr) {
        return nullptr;
    }
    table->buckets = new (std::nothrow) msdhash_elem_t* [n] {};
    if (table->buckets == nullptr) {
        delete table;
        return nullptr;
    }
    return table;
}

void msdhash_delete(msdhash_t* table) {
    if (table != nullptr) {
        delete[] table->buckets;
        delete table;
    }
}

int msdhash_addPreAllocElement(msdhash_t* table, msdhash_elem_t* element, const char* name,
                               const void* value) {
    if (table == nullptr || element == nullptr || name == nullptr) {
        return 0;
    }
    msdhash_elem_t** link = &table->buckets[msdhash_fnv1a(name) & table->mask];
    while (*link != nullptr) {
        if (*link == element) {
            return 1; // already chained here: linking it again would close the chain on itself
        }
        link = &(*link)->next;
    }
    element->name = name;
    element->value = value;
    element->next = nullptr;
    *link = element;
    ++table->count;
    return 1;
}

const void* msdhash_find(const msdhash_t* table, const char* name) {
    if (table == nullptr || name == nullptr) {
        return nullptr;
    }
    for (const msdhash_elem_t* e = table->buckets[msdhash_fnv1a(name) & table->mask]; e != nullptr;
         e = e->next) {
        if (std::strcmp(e->name, name) == 0) {
            return e->value;
        }
    }
    return nullptr;
}
