// Verbal tables: named tables of number-to-text pairs with a default text, shown by value boxes in
// the verbal display mode (gear positions, switch states, warning names). Each table is a balanced
// search tree over its numbers, ordered as unsigned 32-bit values.
#pragma once

#include "display/config/dispxml_scan.h"

#include <cstdint>

struct display_s;

struct verbtab_entry_s {
    verbtab_entry_s* parent;
    verbtab_entry_s* left;
    verbtab_entry_s* right;
    int8_t balance; // height of the right subtree minus that of the left
    char str[256];
    int32_t num; // ordered and compared as unsigned
};

struct verbtab_s {
    char name[XML_NAME_SIZE];
    char default_str[257];
    verbtab_entry_s* root; // null for an empty table
    verbtab_s* next;
};

// Buffer size that XmlVTabOutput's caller provides at least.
enum : int { VTAB_OUTPUT_SIZE = 256 };

// Parses the VerbTabs element into one table block and one entry block owned by `display` and sets
// its `vtabs` list (tables in reverse file order). A second VerbTabs element replaces the first.
int XmlParseVTab(xml_scan_s* scan, display_s* display);

// Appends `node`, whose number is above every number in the tree, and keeps the tree balanced.
void XmlAVLinsert(verbtab_entry_s** root, verbtab_entry_s* node);

// The first table of the list whose name is exactly `name`, or null.
verbtab_s* XmlSearchVTab(verbtab_s* head, const char* name);

// Copies the text for `value` (or the default text) into `out` (at least VTAB_OUTPUT_SIZE bytes);
// 0, or -1 for a null table or buffer.
int XmlVTabOutput(const verbtab_s* table, uint32_t value, char* out);
