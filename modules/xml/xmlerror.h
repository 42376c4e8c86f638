// Error texts of the XML readers: raised as `const char*` and caught by the loader's entry point.
#pragma once

class XmlScan;

// Formats "<text> in line <l> column <c>" with the position of the token `scanner` read last
// (the text alone without a scanner) and returns it, to be raised with `throw`. The text lives in
// a buffer of 254 characters of the calling thread, valid until that thread's next call.
const char* XmlError(const char* text, const XmlScan* scanner);
