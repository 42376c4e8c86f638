#include "xml/xmlhelper.h"

XmlHelper::XmlHelper(XmlScan* scanner)
    : scanner_(scanner), base_(scanner != nullptr ? scanner->getDepth() : 0) {}

bool XmlHelper::next(XmlTok_t& tok) {
    if (done_ || scanner_ == nullptr) return false;
    // The loader may have read the element's end itself (scanOverTag on the element).
    if (scanner_->getDepth() < base_) {
        done_ = true;
        return false;
    }
    XmlTokType_t type;
    do {
        type = scanner_->getTok(tok);
        // Attributes of the element's own start tag, when the loader did not parse them, are no
        // content. (A child's attributes lie one level deeper.)
    } while ((type == XMLTOK_ATTR || type == XMLTOK_TAG_END) && scanner_->getDepth() == base_);
    if (type == XMLTOK_EOF) {
        done_ = true;
        return false;
    }
    // One token closes at most one element: below the base means this element's end tag.
    if (scanner_->getDepth() < base_) {
        done_ = true;
        return false;
    }
    return true;
}
