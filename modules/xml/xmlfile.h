// A whole XML file in memory with its scanner.
#pragma once

#include <memory>

#include "xml/xmlscan.h"

class XmlFile {
public:
    // Reads the file (a device path such as "cfg:/eventcfg.xml") and creates its scanner. Raises
    // "File not found : <name>", "File not found, len invalid : <name>", "Out of memory error" or
    // "File open error".
    explicit XmlFile(const char* fileName);
    ~XmlFile();
    XmlFile(const XmlFile&) = delete;
    XmlFile& operator=(const XmlFile&) = delete;

    XmlScan* getScanner() { return scanner_.get(); }

private:
    std::unique_ptr<XmlScan> scanner_;
};
