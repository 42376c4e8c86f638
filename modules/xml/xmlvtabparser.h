// Value table of an attribute: the names an attribute may take and the integer each stands for.
#pragma once

#include <string>
#include <vector>

class XmlVTabParser {
public:
    // A table for at most `capacity` pairs.
    explicit XmlVTabParser(int capacity);

    // Adds a pair (the name is copied). A full table raises "addPair #vtags exceeded!".
    void addPair(const char* name, int value);
    // True with the value of `name` (matched exactly); false when the table does not hold it.
    bool lookup(const char* name, int* value) const;

private:
    struct Pair {
        std::string name;
        int value;
    };
    std::vector<Pair> pairs_;
    size_t capacity_;
};
