#include "xml/xmlvtabparser.h"

XmlVTabParser::XmlVTabParser(int capacity) : capacity_(capacity > 0 ? static_cast<size_t>(capacity) : 0) {
    pairs_.reserve(capacity_);
}

void XmlVTabParser::addPair(const char* name, int value) {
    if (pairs_.size() >= capacity_) throw "addPair #vtags exceeded!";
    pairs_.push_back({name != nullptr ? name : "", value});
}

bool XmlVTabParser::lookup(const char* name, int* value) const {
    if (name == nullptr) return false;
    for (const Pair& p : pairs_) {
        if (p.name == name) {
            if (value != nullptr) *value = p.value;
            return true;
        }
    }
    return false;
}
