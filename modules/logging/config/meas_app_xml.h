// Reader of the XML logging configuration ("cfg:/m0N.xml", with "cfg:/no_check.xml"): a pull
// reader over the XML classes. Every fault raises an error text with its position; the entry
// meas_app_xml_load catches it, logs it and gives no configuration.
#pragma once

#include "logging/config/meas_app_cfg.h"

#include <cstdint>

class XmlScan;
class XmlTagParser;
class XmlVTabParser;
struct XmlTok_t;

class measAppXmlLoad {
public:
    measAppXmlLoad();
    ~measAppXmlLoad();
    measAppXmlLoad(const measAppXmlLoad&) = delete;
    measAppXmlLoad& operator=(const measAppXmlLoad&) = delete;

    // The configuration of the two texts (either may be null: no text, no content); raises an
    // error text on any fault. The record returned belongs to the caller.
    MEASConfiguration* getConfig(measType index, const void* xmlText, const void* noCheckText);

private:
    struct Seq {
        uint32_t adr[MEAS_MAX_SEQ_ADDRS];
        bool adrSeen[MEAS_MAX_SEQ_ADDRS];
        int32_t num;
        int32_t size;
        int32_t align;
        bool seen;
    };

    void readAcqInfo();
    void readName(char* field);
    void readGlobStartCond();
    void readPreTriggerTime();
    void readTeleInfo();
    void readBlock();
    void readCopySeq();
    void buildBlock(MeasBlkInfo& b);
    void readCondition();
    void readNoCheck(const char* text);
    // The next token inside an element; the end of the text there is a fault.
    int nextInside(XmlTok_t& tok);
    void releaseRecord();

    XmlScan* scanner_ = nullptr;
    XmlScan* noCheckScanner_ = nullptr;
    XmlTagParser* acqInfoParser_ = nullptr;
    XmlTagParser* nameParser_ = nullptr;
    XmlTagParser* globStartParser_ = nullptr;
    XmlTagParser* preTriggerParser_ = nullptr;
    XmlTagParser* blockParser_ = nullptr;
    XmlTagParser* copySeqParser_ = nullptr;
    XmlTagParser* adrParser_ = nullptr;
    XmlTagParser* conditionParser_ = nullptr;
    XmlTagParser* teleInfoParser_ = nullptr;
    XmlVTabParser* rasterTable_ = nullptr;
    XmlVTabParser* teleModeTable_ = nullptr;

    char text_[MEAS_TEXT_LEN] = {};
    // Attribute slots.
    int16_t numBlocks_ = 0, numConditions_ = 0;
    int32_t version_ = 0, protocol_ = 0;
    int32_t idx_ = 0, condId_ = 0, numSeqs_ = 0, trueDiv_ = 0, falseDiv_ = 0, teleBlk_ = 0;
    uint32_t raster_ = 0;
    int32_t align_ = 0, size_ = 0, num_ = 0, pretrigger_ = 0;
    uint32_t adr_ = 0;
    float time_ = 0;
    uint32_t baudrate_ = 0, pause_ = 0, projectCode_ = 0, softwareId_ = 0, telePort_ = 0, dataRate_ = 0;
    int32_t teleMode_ = 0;

    Seq seqs_[MEAS_MAX_SEQS] = {};
    int32_t declaredSeqs_ = 0;
    MEASConfiguration* record_ = nullptr;
    uint8_t seen_[MEAS_MAX_BLOCKS] = {};
};
