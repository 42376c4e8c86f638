#include "logging/config/meas_app_xml.h"

#include "framework/syslog.h"
#include "measdata/chandata.h"
#include "xml/xmlerror.h"
#include "xml/xmlscan.h"
#include "xml/xmltagparser.h"
#include "xml/xmlvtabparser.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

const struct {
    const char* name;
    int code;
} kRasters[] = {{"R1ms", 0},   {"R2ms", 1},    {"R5ms", 2},     {"R10ms", 3},  {"R20ms", 4},
                {"R50ms", 5},  {"R100ms", 6},  {"R200ms", 7},   {"R500ms", 8}, {"R1s", 9},
                {"RSYNC", 10}, {"RLAP", 11},   {"RLAP_SB", 12}, {"R5us", 14},  {"R10us", 15},
                {"R50us", 16}, {"R100us", 17}, {"R500us", 18},  {"RNone", 19}};

bool isStart(int type) {
    return type == XMLTOK_START || type == XMLTOK_START_ATTR;
}

void copyText(char* field, const char* text) {
    std::snprintf(field, MEAS_TEXT_LEN, "%s", text);
}

uint64_t conditionBit(int32_t condition, const XmlScan* scanner) {
    if (condition < 0 || condition >= MEAS_MAX_CONDITIONS)
        throw XmlError("condition index out of range", scanner);
    return uint64_t(1) << condition;
}

uint16_t u16InRange(int32_t value, const char* fault, const XmlScan* scanner) {
    if (value < 0 || value > 0xFFFF) throw XmlError(fault, scanner);
    return uint16_t(value);
}

} // namespace

uint16_t meas_app_samplesPerRecord(uint32_t raster) {
    switch (raster) {
    case 14:
        return 200; // 5 us
    case 15:
        return 100; // 10 us
    case 16:
        return 20; // 50 us
    case 17:
        return 10; // 100 us
    case 18:
        return 2; // 500 us
    default:
        return 1;
    }
}

measAppXmlLoad::measAppXmlLoad() {
    rasterTable_ = new XmlVTabParser(int(std::size(kRasters)));
    for (const auto& r : kRasters) rasterTable_->addPair(r.name, r.code);
    teleModeTable_ = new XmlVTabParser(3);
    teleModeTable_->addPair("VX40", 0);
    teleModeTable_->addPair("GSM", 1);
    teleModeTable_->addPair("ETHERNET", 2);

    acqInfoParser_ = new XmlTagParser(5);
    acqInfoParser_->addAttribute("ident", text_, sizeof text_, XMLTYPE_TEXT);
    acqInfoParser_->addAttribute("num_blocks", &numBlocks_, sizeof numBlocks_, XMLTYPE_SIGNED);
    acqInfoParser_->addAttribute("num_conditions", &numConditions_, sizeof numConditions_, XMLTYPE_SIGNED);
    acqInfoParser_->addAttribute("version", &version_, sizeof version_, XMLTYPE_SIGNED);
    acqInfoParser_->addAttribute("protocol", &protocol_, sizeof protocol_, XMLTYPE_SIGNED);

    nameParser_ = new XmlTagParser(1);
    nameParser_->addAttribute("name", text_, sizeof text_, XMLTYPE_TEXT);

    globStartParser_ = new XmlTagParser(1);
    globStartParser_->addAttribute("idx", &idx_, sizeof idx_, XMLTYPE_SIGNED);

    preTriggerParser_ = new XmlTagParser(1);
    preTriggerParser_->addAttribute("time", &time_, sizeof time_, XMLTYPE_FLOAT);

    teleInfoParser_ = new XmlTagParser(8);
    teleInfoParser_->addAttribute("baudrate", &baudrate_, sizeof baudrate_, XMLTYPE_UNSIGNED);
    teleInfoParser_->addAttribute("pause", &pause_, sizeof pause_, XMLTYPE_UNSIGNED);
    teleInfoParser_->addAttribute("projectCode", &projectCode_, sizeof projectCode_, XMLTYPE_HEX);
    teleInfoParser_->addAttribute("SoftwareID", &softwareId_, sizeof softwareId_, XMLTYPE_HEX);
    teleInfoParser_->addAttribute("TelePort", &telePort_, sizeof telePort_, XMLTYPE_UNSIGNED, true);
    teleInfoParser_->addAttribute("TeleIp", text_, sizeof text_, XMLTYPE_TEXT, true);
    teleInfoParser_->addAttribute("DataRate", &dataRate_, sizeof dataRate_, XMLTYPE_UNSIGNED, true);
    teleInfoParser_->addAttributeVTab("TelemetrieMode", teleModeTable_, &teleMode_, sizeof teleMode_, true);

    blockParser_ = new XmlTagParser(8);
    blockParser_->addAttribute("name", text_, sizeof text_, XMLTYPE_TEXT);
    blockParser_->addAttribute("idx", &idx_, sizeof idx_, XMLTYPE_SIGNED);
    blockParser_->addAttribute("cond_id", &condId_, sizeof condId_, XMLTYPE_SIGNED, true);
    blockParser_->addAttribute("num_seqs", &numSeqs_, sizeof numSeqs_, XMLTYPE_SIGNED);
    blockParser_->addAttribute("true_div", &trueDiv_, sizeof trueDiv_, XMLTYPE_SIGNED);
    blockParser_->addAttribute("false_div", &falseDiv_, sizeof falseDiv_, XMLTYPE_SIGNED);
    blockParser_->addAttributeVTab("Raster", rasterTable_, &raster_, sizeof raster_);
    blockParser_->addAttribute("tele_blk", &teleBlk_, sizeof teleBlk_, XMLTYPE_SIGNED, true);

    copySeqParser_ = new XmlTagParser(4);
    copySeqParser_->addAttribute("align", &align_, sizeof align_, XMLTYPE_SIGNED);
    copySeqParser_->addAttribute("size", &size_, sizeof size_, XMLTYPE_SIGNED);
    copySeqParser_->addAttribute("num", &num_, sizeof num_, XMLTYPE_SIGNED);
    copySeqParser_->addAttribute("idx", &idx_, sizeof idx_, XMLTYPE_SIGNED);

    adrParser_ = new XmlTagParser(2);
    adrParser_->addAttribute("adr", &adr_, sizeof adr_, XMLTYPE_HEX);
    adrParser_->addAttribute("idx", &idx_, sizeof idx_, XMLTYPE_SIGNED);

    conditionParser_ = new XmlTagParser(4);
    conditionParser_->addAttribute("adr", &adr_, sizeof adr_, XMLTYPE_HEX);
    conditionParser_->addAttribute("idx", &idx_, sizeof idx_, XMLTYPE_SIGNED);
    conditionParser_->addAttribute("size", &size_, sizeof size_, XMLTYPE_SIGNED);
    conditionParser_->addAttribute("pretrigger", &pretrigger_, sizeof pretrigger_, XMLTYPE_SIGNED);
}

measAppXmlLoad::~measAppXmlLoad() {
    releaseRecord();
    delete scanner_;
    delete noCheckScanner_;
    delete acqInfoParser_;
    delete nameParser_;
    delete globStartParser_;
    delete preTriggerParser_;
    delete blockParser_;
    delete copySeqParser_;
    delete adrParser_;
    delete conditionParser_;
    delete teleInfoParser_;
    delete rasterTable_;
    delete teleModeTable_;
}

void measAppXmlLoad::releaseRecord() {
    meas_app_free_MEASConfiguration(record_);
    record_ = nullptr;
}

int measAppXmlLoad::nextInside(XmlTok_t& tok) {
    const int type = scanner_->getTok(tok);
    if (type == XMLTOK_EOF) throw XmlError("unexpected end of text", scanner_);
    return type;
}

MEASConfiguration* measAppXmlLoad::getConfig(measType index, const void* xmlText, const void* noCheckText) {
    try {
        delete scanner_;
        scanner_ = nullptr;
        scanner_ = new XmlScan(xmlText ? static_cast<const char*>(xmlText) : "");
        releaseRecord();
        record_ = static_cast<MEASConfiguration*>(std::calloc(1, sizeof(MEASConfiguration)));
        if (!record_) throw XmlError("out of memory", nullptr);
        XmlTok_t tok;
        for (;;) {
            const int type = scanner_->getTok(tok);
            if (type == XMLTOK_EOF) break;
            if (type == XMLTOK_START_ATTR && tok.name == "AcqInfo") readAcqInfo();
        }
    } catch (const char* message) {
        syslogx(LOG_PRIO_ERR, "measAppXmlLoad(%d): %s", int(index) + 1, message);
        throw;
    }
    if (noCheckText) {
        try {
            readNoCheck(static_cast<const char*>(noCheckText));
        } catch (const char* message) {
            syslogx(LOG_PRIO_ERR, "measAppXmlLoad(%d): no_check.xml %s", int(index) + 1, message);
            throw;
        }
    }
    MEASConfiguration* done = record_;
    record_ = nullptr;
    return done;
}

void measAppXmlLoad::readAcqInfo() {
    text_[0] = '\0';
    if (acqInfoParser_->parse(scanner_) != XMLTOK_TAG_END) throw XmlError("/> expected", scanner_);
    // A second AcqInfo replaces what the first gave.
    std::free(record_->BlkInfo);
    std::free(record_->Conds_ptr);
    record_->BlkInfo = record_->Conds_ptr = nullptr;
    record_->num_blocks = record_->num_conditions = 0;
    copyText(record_->ident, text_);
    record_->protocol = uint16_t(protocol_);
    if (numBlocks_ < 0 || numBlocks_ > MEAS_MAX_BLOCKS) throw XmlError("too many blocks", scanner_);
    if (numConditions_ < 0 || numConditions_ > MEAS_MAX_CONDITIONS)
        throw XmlError("too many conditions", scanner_);
    if (numBlocks_ > 0) {
        record_->BlkInfo = static_cast<MeasBlkInfo*>(std::calloc(size_t(numBlocks_), sizeof(MeasBlkInfo)));
        if (!record_->BlkInfo) throw XmlError("out of memory", nullptr);
    }
    record_->num_blocks = uint16_t(numBlocks_);
    if (numConditions_ > 0) {
        record_->Conds_ptr =
            static_cast<MeasBlkInfo*>(std::calloc(size_t(numConditions_), sizeof(MeasBlkInfo)));
        if (!record_->Conds_ptr) throw XmlError("out of memory", nullptr);
    }
    record_->num_conditions = uint16_t(numConditions_);
    std::memset(seen_, 0, sizeof seen_);

    const int depth = scanner_->getDepth();
    XmlTok_t tok;
    for (;;) {
        const int type = nextInside(tok);
        if (type == XMLTOK_END && scanner_->getDepth() < depth) return;
        if (type == XMLTOK_START) {
            scanner_->scanOverTag(tok);
        } else if (type == XMLTOK_START_ATTR) {
            if (tok.name == "AsapName")
                readName(record_->asapName);
            else if (tok.name == "PstName")
                readName(record_->pstName);
            else if (tok.name == "UserInfo")
                readName(record_->userInfo);
            else if (tok.name == "GlobStartCond")
                readGlobStartCond();
            else if (tok.name == "PreTriggerTime")
                readPreTriggerTime();
            else if (tok.name == "TeleInfo")
                readTeleInfo();
            else if (tok.name == "Block")
                readBlock();
            else if (tok.name == "Condition")
                readCondition();
            else
                scanner_->scanOverTag(tok);
        }
    }
}

void measAppXmlLoad::readName(char* field) {
    text_[0] = '\0';
    if (nameParser_->parse(scanner_) != XMLTOK_EMPTY_END) throw XmlError("/> expected", scanner_);
    copyText(field, text_);
}

void measAppXmlLoad::readGlobStartCond() {
    if (globStartParser_->parse(scanner_) != XMLTOK_EMPTY_END) throw XmlError("/> expected", scanner_);
    record_->globStartMask = idx_ == -1 ? 0 : conditionBit(idx_, scanner_);
    record_->globStartCond = 1;
}

void measAppXmlLoad::readPreTriggerTime() {
    if (preTriggerParser_->parse(scanner_) != XMLTOK_EMPTY_END) throw XmlError("/> expected", scanner_);
    record_->preTriggerTime = time_;
}

void measAppXmlLoad::readTeleInfo() {
    // A second TeleInfo replaces the first.
    meas_app_free_teleConfig(record_->teleInfo);
    record_->teleInfo = nullptr;
    record_->teleInfo = static_cast<tele_config*>(std::calloc(1, sizeof(tele_config)));
    if (!record_->teleInfo) throw XmlError("out of memory", nullptr);
    record_->teleInfoSize = sizeof(tele_config);
    tele_config& t = *record_->teleInfo;
    text_[0] = '\0';
    telePort_ = dataRate_ = 0;
    teleMode_ = 0;
    const int form = teleInfoParser_->parse(scanner_);
    if (form == XMLTOK_TAG_END) {
        const int depth = scanner_->getDepth();
        XmlTok_t tok;
        for (;;) {
            const int type = nextInside(tok);
            if (type == XMLTOK_END && scanner_->getDepth() < depth) break;
            if (type != XMLTOK_START_ATTR) continue;
            ChanData** channel = tok.name == "lapdist"     ? &t.lapdist
                                 : tok.name == "GPSLat"    ? &t.GPSLat
                                 : tok.name == "GPSLong"   ? &t.GPSLong
                                 : tok.name == "StartCond" ? &t.StartCond
                                                           : nullptr;
            if (!channel) continue;
            delete *channel;
            *channel = nullptr;
            *channel = new ChanData(scanner_, &tok);
        }
    } else if (form != XMLTOK_EMPTY_END) {
        throw XmlError("/> expected", scanner_);
    }
    t.baudrate = baudrate_;
    t.projectCode = projectCode_;
    t.pause = uint8_t(pause_);
    t.SoftwareID = uint8_t(softwareId_);
    if (text_[0] != '\0') {
        in_addr address{};
        if (inet_pton(AF_INET, text_, &address) != 1) throw XmlError("TeleIp is no IPv4 address", scanner_);
        t.ipAddress = address.s_addr;
        t.TelePort = uint16_t(telePort_);
    }
    t.DataRate = dataRate_;
    t.TelemetrieMode = uint8_t(teleMode_);
}

void measAppXmlLoad::readBlock() {
    condId_ = -1;
    teleBlk_ = -1;
    text_[0] = '\0';
    if (blockParser_->parse(scanner_) != XMLTOK_TAG_END) throw XmlError("> expected", scanner_);
    if (idx_ < 0 || idx_ >= record_->num_blocks) throw XmlError("block index too high", scanner_);
    MeasBlkInfo& b = record_->BlkInfo[idx_];
    std::memset(&b, 0, sizeof b);
    b.blockNo = uint16_t(idx_ + 1);
    b.tele_blk = teleBlk_ == -1 ? 0xFFFF : u16InRange(teleBlk_, "tele_blk out of range", scanner_);
    copyText(b.name, text_);
    b.false_div = u16InRange(falseDiv_, "divider out of range", scanner_);
    b.true_div = u16InRange(trueDiv_, "divider out of range", scanner_);
    b.raster = raster_;
    b.condMask = condId_ == -1 ? 0 : conditionBit(condId_, scanner_);
    b.condFlags = 1;
    seen_[idx_] = 1;
    if (numSeqs_ < 0 || numSeqs_ > MEAS_MAX_SEQS) throw XmlError("too many copy sequences", scanner_);
    declaredSeqs_ = numSeqs_;
    // Every block starts from empty sequences: nothing is taken over from an earlier block.
    std::memset(seqs_, 0, sizeof seqs_);

    const int depth = scanner_->getDepth();
    XmlTok_t tok;
    for (;;) {
        const int type = nextInside(tok);
        if (type == XMLTOK_END && scanner_->getDepth() < depth) break;
        if (type == XMLTOK_START_ATTR && tok.name == "CopySeq")
            readCopySeq();
        else if (isStart(type))
            scanner_->scanOverTag(tok);
    }
    buildBlock(b);
}

void measAppXmlLoad::readCopySeq() {
    if (copySeqParser_->parse(scanner_) != XMLTOK_TAG_END) throw XmlError("> expected", scanner_);
    if (idx_ < 0 || idx_ >= declaredSeqs_) throw XmlError("CopySeq index too high", scanner_);
    if (num_ < 0 || num_ > MEAS_MAX_SEQ_ADDRS) throw XmlError("too many addresses", scanner_);
    // A size of 0 would write the list's end mark; above 511 is no element of a list.
    if (size_ <= 0 || size_ > MEAS_MAX_ELEMENT_SIZE) throw XmlError("copy sequence size invalid", scanner_);
    Seq& s = seqs_[idx_];
    std::memset(&s, 0, sizeof s);
    s.num = num_;
    s.size = size_;
    s.align = align_;
    s.seen = true;

    const int depth = scanner_->getDepth();
    XmlTok_t tok;
    for (;;) {
        const int type = nextInside(tok);
        if (type == XMLTOK_END && scanner_->getDepth() < depth) break;
        if (type == XMLTOK_START_ATTR && tok.name == "adr") {
            if (adrParser_->parse(scanner_) != XMLTOK_EMPTY_END) throw XmlError("> expected", scanner_);
            if (idx_ < 0 || idx_ >= s.num) throw XmlError("address index too high", scanner_);
            s.adr[idx_] = adr_;
            s.adrSeen[idx_] = true;
        } else if (isStart(type)) {
            scanner_->scanOverTag(tok);
        }
    }
}

void measAppXmlLoad::buildBlock(MeasBlkInfo& b) {
    uint32_t words = 1;
    for (int i = 0; i < declaredSeqs_; ++i) {
        const Seq& s = seqs_[i];
        if (!s.seen) throw XmlError("copy sequence missing", scanner_);
        for (int a = 0; a < s.num; ++a)
            if (!s.adrSeen[a]) throw XmlError("address missing", scanner_);
        words += uint32_t(s.num) + 2;
    }
    if (words > MEAS_LIST_WORDS) throw XmlError("address list too long", scanner_);
    if (declaredSeqs_ > 0 && seqs_[0].num > 0) b.pid = uint16_t(seqs_[0].adr[0] >> 24);
    uint32_t w = 0, sampleBytes = 0;
    for (int i = 0; i < declaredSeqs_; ++i) {
        const Seq& s = seqs_[i];
        b.measList[w++] = s.align == s.size ? uint32_t(-s.size) : uint32_t(s.size);
        for (int a = 0; a < s.num; ++a) {
            b.addrSize[b.numAddr++] = uint8_t(s.size);
            b.measList[w++] = s.adr[a] & 0x00FFFFFF;
            sampleBytes += uint32_t(s.size);
        }
        b.measList[w++] = 0;
        if (s.align == 4) b.cnt4 = uint16_t(b.cnt4 + s.num);
        if (s.align == 2) b.cnt2 = uint16_t(s.num);
        if (s.align == 1) b.cnt1 = uint16_t(s.num);
    }
    b.measList[w++] = 0;
    b.measListLen = w * 4;
    b.samplesPerRecord = meas_app_samplesPerRecord(b.raster);
    b.recordSize = b.samplesPerRecord * sampleBytes + 4;
}

void measAppXmlLoad::readCondition() {
    if (conditionParser_->parse(scanner_) != XMLTOK_EMPTY_END) throw XmlError("/> expected", scanner_);
    if (idx_ < 0 || idx_ >= record_->num_conditions) throw XmlError("block index too high", scanner_);
    if (size_ <= 0 || size_ > MEAS_MAX_ELEMENT_SIZE) throw XmlError("condition size invalid", scanner_);
    const uint16_t pretrigger = u16InRange(pretrigger_, "pretrigger out of range", scanner_);
    MeasBlkInfo& c = record_->Conds_ptr[idx_];
    std::memset(&c, 0, sizeof c);
    std::snprintf(c.name, sizeof c.name, "CondBlk #%d", int(idx_) + 1);
    c.raster = MEAS_RASTER_10MS;
    c.true_div = c.false_div = 1;
    c.condMask = conditionBit(idx_, scanner_);
    c.measList[0] = uint32_t(-size_);
    c.measList[1] = adr_ & 0x00FFFFFF;
    c.addrSize[0] = uint8_t(size_);
    c.measListLen = 12;
    c.recordSize = uint32_t(size_) + 4;
    c.numAddr = 1;
    c.pid = uint16_t(int16_t(int8_t(adr_ >> 24)));
    c.pretrigger = pretrigger;
    c.samplesPerRecord = 1;
}

void measAppXmlLoad::readNoCheck(const char* text) {
    delete noCheckScanner_;
    noCheckScanner_ = nullptr;
    noCheckScanner_ = new XmlScan(text);
    XmlScan* const sc = noCheckScanner_;
    XmlTok_t tok;
    for (;;) {
        int type = sc->getTok(tok);
        if (type == XMLTOK_EOF) return;
        if (!(type == XMLTOK_START || (type == XMLTOK_START_ATTR && tok.name == "UncheckedContent")))
            continue;
        if (type == XMLTOK_START_ATTR && sc->skipAttributes(tok) != XMLTOK_TAG_END)
            continue; // an empty section
        text_[0] = '\0';
        for (;;) {
            type = sc->getTok(tok);
            if (type == XMLTOK_EOF || (type == XMLTOK_END && tok.name == "UncheckedContent")) break;
            if (type != XMLTOK_START_ATTR || tok.name != "PentraxProjectFileName") continue;
            if (nameParser_->parse(sc) != XMLTOK_EMPTY_END) throw XmlError("/> expected", sc);
            copyText(record_->projectFileName, text_);
        }
        if (type == XMLTOK_EOF) return;
    }
}

MEASConfiguration* meas_app_xml_load(int index, const char* xmlText, const char* noCheckText) {
    try {
        auto reader = std::make_unique<measAppXmlLoad>();
        return reader->getConfig(measType(index), xmlText, noCheckText);
    } catch (const char*) {
    } catch (const std::bad_alloc&) {
        syslogx(LOG_PRIO_ERR, "measAppXmlLoad(%d): out of memory", index + 1);
    }
    syslogx(LOG_PRIO_ERR,
            "meas_app_xml_load(): parsing logging configuration failed, no measurement for M0%d", index + 1);
    return nullptr;
}
