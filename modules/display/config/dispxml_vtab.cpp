#include "display/config/dispxml_vtab.h"

#include "display/config/display_records.h"
#include "display/config/dispxml_value.h"

#include <cstdlib>
#include <cstring>

namespace {

int fail(const char* message, const xml_scan_s* scan) {
    xml_error(message, scan);
    return -1;
}

void copyText(char* dst, size_t size, const char* src) {
    const size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

bool isTag(const xml_token_s& t, int type, const char* name) {
    return t.type == type && std::strcmp(t.name, name) == 0;
}

void XmlInitVTab(verbtab_entry_s* entry) {
    entry->str[0] = '\0';
    entry->num = 0;
}

// One Tab: an empty element with exactly the attributes str and num, each once.
int XmlParseVTabTag(xml_scan_s* scan, verbtab_entry_s* entry) {
    xml_token_s t;
    if (XmlGetTok(scan, &t) != 0 || !isTag(t, XML_TOK_TAG_ATTR, "Tab")) return -1;
    bool haveStr = false;
    bool haveNum = false;
    for (;;) {
        if (XmlGetTok(scan, &t) != 0) return -1;
        if (t.type == XML_TOK_EMPTY_END) break;
        if (t.type != XML_TOK_ATTR) return -1;
        if (std::strcmp(t.name, "str") == 0 && !haveStr) {
            copyText(entry->str, sizeof entry->str, t.value);
            haveStr = true;
        } else if (std::strcmp(t.name, "num") == 0 && !haveNum) {
            if (XmlGetInt(t.value, &entry->num, INT32_MIN, INT32_MAX) != 0) return -1;
            haveNum = true;
        } else {
            return -1;
        }
    }
    return haveStr && haveNum ? 0 : -1;
}

// One VerbTab. The check pass (table null) validates and counts the entries into *entries; the fill
// pass copies the table's texts and puts each entry into the next slot at *cursor and into the tree.
int parseVerbTab(xml_scan_s* scan, verbtab_s* table, verbtab_entry_s** cursor, int* entries) {
    xml_token_s t;
    int r = XmlGetTok(scan, &t);
    if (r < 0) return -1;
    if (r > 0 || !isTag(t, XML_TOK_TAG_ATTR, "VerbTab"))
        return fail("parse error: expecting vtab open tag", scan);

    bool haveName = false;
    bool haveDefault = false;
    for (;;) {
        if (XmlGetTok(scan, &t) != 0) return -1;
        if (t.type == XML_TOK_TAG_END) break;
        if (t.type != XML_TOK_ATTR) return fail("parse error: expecting paramters of vtab type", scan);
        if (std::strcmp(t.name, "name") == 0) {
            if (haveName) return fail("parse error: parameter name found twice", scan);
            haveName = true;
            if (table != nullptr) copyText(table->name, sizeof table->name, t.value);
        } else if (std::strcmp(t.name, "default") == 0) {
            if (haveDefault) return fail("parse error: parameter default found twice", scan);
            haveDefault = true;
            if (table != nullptr) copyText(table->default_str, sizeof table->default_str, t.value);
        }
    }
    if (!haveName || !haveDefault) return fail("not all attributes found", scan);
    if (table != nullptr) table->root = nullptr;

    bool first = true;
    uint32_t previous = 0;
    for (;;) {
        xml_scan_s look = *scan;
        if (XmlGetTok(&look, &t) != 0) return -1;
        if (isTag(t, XML_TOK_END_TAG, "VerbTab")) {
            *scan = look;
            return 0;
        }
        verbtab_entry_s entry;
        XmlInitVTab(&entry);
        if (XmlParseVTabTag(scan, &entry) != 0) return fail("parse error: expecting vtab tag", scan);
        const uint32_t num = static_cast<uint32_t>(entry.num);
        if (!first && num <= previous) return fail("parse error: vtabs not sorted", scan);
        first = false;
        previous = num;
        ++*entries;
        if (table != nullptr) {
            verbtab_entry_s* slot = (*cursor)++;
            std::memcpy(slot->str, entry.str, sizeof slot->str);
            slot->num = entry.num;
            slot->parent = slot->left = slot->right = nullptr;
            slot->balance = 0;
            XmlAVLinsert(&table->root, slot);
        }
    }
}

int XmlCheckVTabs(xml_scan_s* scan, int* entries) {
    return parseVerbTab(scan, nullptr, nullptr, entries);
}

int XmlParseVTabs(xml_scan_s* scan, verbtab_s* table, verbtab_entry_s** cursor) {
    int entries = 0;
    return parseVerbTab(scan, table, cursor, &entries);
}

void releaseTables(display_s* display) {
    std::free(display->vtab_block);
    std::free(display->vtab_entry_block);
    display->vtab_block = nullptr;
    display->vtab_entry_block = nullptr;
    display->vtabs = nullptr;
}

} // namespace

int XmlParseVTab(xml_scan_s* scan, display_s* display) {
    releaseTables(display);

    xml_token_s t;
    const int r = XmlGetTok(scan, &t);
    if (r < 0) return -1;
    if (r > 0 || !isTag(t, XML_TOK_TAG, "VerbTabs"))
        return fail("parse error: expecting vtabs open tag", scan);
    const xml_scan_s start = *scan;

    // First pass: check every table and count tables and entries.
    int tables = 0;
    int entries = 0;
    for (;;) {
        xml_scan_s look = *scan;
        if (XmlGetTok(&look, &t) != 0) return -1;
        if (isTag(t, XML_TOK_END_TAG, "VerbTabs")) break;
        if (XmlCheckVTabs(scan, &entries) != 0) return -1;
        ++tables;
    }

    display->vtab_entry_block =
        static_cast<verbtab_entry_s*>(std::calloc(static_cast<size_t>(entries) + 1, sizeof(verbtab_entry_s)));
    display->vtab_block =
        static_cast<verbtab_s*>(std::calloc(static_cast<size_t>(tables) + 1, sizeof(verbtab_s)));
    if (display->vtab_entry_block == nullptr || display->vtab_block == nullptr) {
        releaseTables(display);
        xml_error("could not get memory for display objects", nullptr);
        return -1;
    }

    // Second pass over the same text: fill the blocks. Tables go to the front of the list, so a
    // later table of the same name hides an earlier one.
    *scan = start;
    verbtab_entry_s* cursor = display->vtab_entry_block;
    for (int i = 0; i < tables; ++i) {
        verbtab_s* table = &display->vtab_block[i];
        if (XmlParseVTabs(scan, table, &cursor) != 0) return -1;
        table->next = display->vtabs;
        display->vtabs = table;
    }
    if (XmlGetTok(scan, &t) != 0 || !isTag(t, XML_TOK_END_TAG, "VerbTabs")) return -1;
    return 0;
}

void XmlAVLinsert(verbtab_entry_s** root, verbtab_entry_s* node) {
    node->left = node->right = nullptr;
    node->balance = 0;
    if (*root == nullptr) {
        node->parent = nullptr;
        *root = node;
        return;
    }
    verbtab_entry_s* x = *root;
    while (x->right != nullptr) x = x->right;
    x->right = node;
    node->parent = x;

    // Up the right spine: every node passed has grown on its right side.
    while (x != nullptr) {
        if (x->balance < 0) {
            x->balance = 0;
            return;
        }
        if (x->balance == 0) {
            x->balance = 1;
            x = x->parent;
            continue;
        }
        verbtab_entry_s* r = x->right;
        verbtab_entry_s* up = x->parent;
        x->right = r->left;
        if (r->left != nullptr) r->left->parent = x;
        r->left = x;
        x->parent = r;
        r->parent = up;
        if (up == nullptr)
            *root = r;
        else if (up->left == x)
            up->left = r;
        else
            up->right = r;
        x->balance = 0;
        r->balance = 0;
        return;
    }
}

verbtab_s* XmlSearchVTab(verbtab_s* head, const char* name) {
    if (name == nullptr) return nullptr;
    for (verbtab_s* t = head; t != nullptr; t = t->next) {
        if (std::strcmp(t->name, name) == 0) return t;
    }
    return nullptr;
}

int XmlVTabOutput(const verbtab_s* table, uint32_t value, char* out) {
    if (table == nullptr || out == nullptr) return -1;
    const verbtab_entry_s* n = table->root;
    while (n != nullptr) {
        const uint32_t num = static_cast<uint32_t>(n->num);
        if (num == value) {
            copyText(out, VTAB_OUTPUT_SIZE, n->str);
            return 0;
        }
        n = num > value ? n->left : n->right;
    }
    copyText(out, VTAB_OUTPUT_SIZE, table->default_str);
    return 0;
}
