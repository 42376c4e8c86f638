// The XML logging configuration: golden records from fixtures on "cfg:", and faulty files refused
// whole with the fault and its position in the log.
#include "logcfg_fixture.h"

#include "logging/config/meas_app_cfg.h"
#include "measdata/chandata.h"

#include <arpa/inet.h>
#include <cstring>
#include <memory>

using namespace logcfgtest;
using testsupport::readFile;
using testsupport::testdataPath;

namespace {

struct Freer {
    void operator()(MEASConfiguration* m) const { meas_app_free_MEASConfiguration(m); }
};
using Config = std::unique_ptr<MEASConfiguration, Freer>;

Config load(int index) {
    size_t length = 0;
    return Config(meas_app_get_MEASConfiguration(index, &length));
}

Config xml(const std::string& text, const char* noCheck = nullptr) {
    return Config(meas_app_xml_load(0, text.c_str(), noCheck));
}

std::vector<uint32_t> list(const MeasBlkInfo& b) {
    return std::vector<uint32_t>(b.measList, b.measList + b.measListLen / 4);
}

const std::string kHead =
    "<AcqInfo ident=\"x\" num_blocks=\"3\" num_conditions=\"2\" version=\"3\" protocol=\"0\">\n";

std::string block(const std::string& attributes, const std::string& content) {
    return "<Block name=\"b\" true_div=\"1\" false_div=\"1\" Raster=\"R10ms\" " + attributes + ">" + content +
           "</Block>\n";
}

std::string seq(int idx, int align, int size, int num, int addresses = -1) {
    if (addresses < 0) addresses = num;
    std::string s = "<CopySeq align=\"" + std::to_string(align) + "\" size=\"" + std::to_string(size) +
                    "\" num=\"" + std::to_string(num) + "\" idx=\"" + std::to_string(idx) + "\">";
    for (int a = 0; a < addresses; ++a)
        s += "<adr adr=\"0x" + std::to_string(1000 + a) + "\" idx=\"" + std::to_string(a) + "\"/>";
    return s + "</CopySeq>";
}

} // namespace

TEST_F(LogTest, ConfigurationsFromCfgMatchTheirFixtures) {
    EXPECT_EQ(load(0), nullptr);
    EXPECT_EQ(load(2), nullptr);
    auto lines = log();
    EXPECT_TRUE(contains(lines, "meas_app_get_MEASConfiguration file 'cfg:/m01.xml' not found"));
    EXPECT_FALSE(contains(lines, "m03")) << "the second logging is optional";

    for (const char* f : {"m01.xml", "m02.xml", "no_check.xml"})
        cfgFile(f, readFile(testdataPath(std::string("logging/") + f)));
    const Config m = load(0);
    ASSERT_NE(m, nullptr) << testing::PrintToString(log());
    EXPECT_STREQ(m->ident, "Test bench 7");
    EXPECT_STREQ(m->asapName, "engine_v12.a2l");
    EXPECT_STREQ(m->pstName, "base_set.pst");
    EXPECT_STREQ(m->userInfo, "warm-up runs");
    EXPECT_STREQ(m->projectFileName, "C:\\projects\\bench7.pxp");
    EXPECT_EQ(
        std::vector<double>({double(m->protocol), double(m->num_blocks), double(m->num_conditions),
                             double(m->globStartMask), double(m->globStartCond), double(m->preTriggerTime)}),
        (std::vector<double>{0, 3, 2, 2, 1, 2.5}));
    EXPECT_EQ(m->teleInfo, nullptr);

    // Golden blocks: list, sizes and counts.
    const MeasBlkInfo& b0 = m->BlkInfo[0];
    EXPECT_EQ(list(b0), (std::vector<uint32_t>{uint32_t(-4), 0x1000, 0x1004, 0, uint32_t(-2), 0x2000, 0, 0}));
    EXPECT_EQ(std::vector<int>(b0.addrSize, b0.addrSize + 4), (std::vector<int>{4, 4, 2, 0}));
    const struct {
        const MeasBlkInfo& b;
        std::vector<uint64_t> facts; // measListLen recordSize cnt4 cnt2 cnt1 pid raster samples condMask
                                     // blockNo tele_blk true_div false_div condFlags numAddr pretrigger
    } blocks[] = {
        {b0, {32, 14, 2, 1, 0, 5, 3, 1, 0, 1, 0xFFFF, 1, 4, 1, 3, 0}},
        {m->BlkInfo[1], {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}, // named by no Block
        {m->BlkInfo[2], {20, 804, 0, 0, 2, 0, 15, 100, 1, 3, 3, 1, 0, 1, 2, 0}},
        {m->Conds_ptr[0], {12, 6, 0, 0, 0, 5, 3, 1, 1, 0, 0, 1, 1, 0, 1, 500}},
        {m->Conds_ptr[1], {12, 5, 0, 0, 0, 0, 3, 1, 2, 0, 0, 1, 1, 0, 1, 0}},
    };
    for (const auto& r : blocks) {
        const MeasBlkInfo& b = r.b;
        EXPECT_EQ(std::vector<uint64_t>({b.measListLen, b.recordSize, b.cnt4, b.cnt2, b.cnt1, b.pid, b.raster,
                                         b.samplesPerRecord, b.condMask, b.blockNo, b.tele_blk, b.true_div,
                                         b.false_div, b.condFlags, b.numAddr, b.pretrigger}),
                  r.facts)
            << b.name;
    }
    EXPECT_EQ(list(m->BlkInfo[2]), (std::vector<uint32_t>{4, 0x200C, 0x2010, 0, 0}))
        << "align 1: size kept positive";
    const uint32_t* c0 = m->Conds_ptr[0].measList;
    EXPECT_EQ(std::vector<uint32_t>(c0, c0 + 4), (std::vector<uint32_t>{uint32_t(-2), 0x1234, 0, 0}));
    EXPECT_STREQ(m->Conds_ptr[0].name, "CondBlk #1");

    // Telemetry: link settings and its channels.
    const Config t = load(1);
    ASSERT_NE(t, nullptr) << testing::PrintToString(log());
    ASSERT_NE(t->teleInfo, nullptr);
    const tele_config& tc = *t->teleInfo;
    EXPECT_EQ(std::vector<uint32_t>({t->protocol, tc.baudrate, tc.pause, tc.projectCode, tc.SoftwareID,
                                     tc.TelePort, ntohl(tc.ipAddress), tc.DataRate, tc.TelemetrieMode}),
              (std::vector<uint32_t>{1, 115200, 5, 0x1A2B, 0x34, 5000, 0x0A000007, 20000, 2}));
    ASSERT_NE(tc.lapdist, nullptr);
    EXPECT_EQ(tc.lapdist->address(), 0x1000u);
    EXPECT_NE(tc.GPSLat, nullptr);
    EXPECT_EQ(tc.GPSLong, nullptr);
    EXPECT_EQ(t->BlkInfo[0].pid, 0x10);
}

TEST_F(LogTest, AcceptedEdgesOfTheXmlForm) {
    // No blocks at all is a configuration; 255 blocks, 20 sequences and long texts are accepted.
    Config m = xml(
        "<AcqInfo ident=\"e\" num_blocks=\"0\" num_conditions=\"0\" version=\"1\" protocol=\"0\"></AcqInfo>");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::vector<void*>({m->BlkInfo, m->Conds_ptr, m->teleInfo}),
              (std::vector<void*>{nullptr, nullptr, nullptr}));
    std::string seqs;
    for (int i = 0; i < 20; ++i) seqs += seq(i, i < 2 ? 4 : 2, 4, i < 2 ? 3 + 2 * i : i % 4 + 1);
    m = xml("<AcqInfo ident=\"e\" num_blocks=\"255\" num_conditions=\"0\" version=\"1\" protocol=\"0\">" +
            block("idx=\"254\" num_seqs=\"20\"", seqs) + "<UserInfo name=\"" + std::string(2000, 'u') +
            "\"/><GlobStartCond idx=\"-1\"/><TeleInfo baudrate=\"1\" pause=\"0\" projectCode=\"1\" "
            "SoftwareID=\"1\" "
            "TelePort=\"99\"/></AcqInfo>");
    ASSERT_NE(m, nullptr) << testing::PrintToString(log());
    EXPECT_EQ(std::strlen(m->userInfo), 1023u);
    EXPECT_EQ(m->BlkInfo[254].cnt4, 3u + 5u) << "summed over the sequences aligned to 4";
    EXPECT_EQ(m->BlkInfo[254].cnt2, 4u) << "the last sequence aligned to 2";
    EXPECT_EQ(std::vector<uint64_t>(
                  {m->globStartMask, m->globStartCond, m->teleInfo->ipAddress, m->teleInfo->TelePort}),
              (std::vector<uint64_t>{0, 1, 0, 0}));
}

TEST_F(LogTest, FaultyXmlIsRefusedWholeWithItsPosition) {
    const std::string line2 =
        "<Block name=\"b\" idx=\"0\" num_seqs=\"21\" true_div=\"1\" false_div=\"1\" Raster=\"R10ms\">";
    Config m = xml(kHead + line2 + "</Block></AcqInfo>");
    EXPECT_EQ(m, nullptr);
    auto lines = log();
    EXPECT_TRUE(contains(lines, "measAppXmlLoad(1): too many copy sequences in line 2 column " +
                                    std::to_string(line2.size())))
        << testing::PrintToString(lines);
    EXPECT_TRUE(
        contains(lines, "meas_app_xml_load(): parsing logging configuration failed, no measurement for M01"));

    std::string longList;
    for (int i = 0; i < 2; ++i) longList += seq(i, 4, 4, 127, 127);
    const struct {
        std::string body;
        const char* fault;
    } rows[] = {
        {block("idx=\"0\" num_seqs=\"-1\"", ""), "too many copy sequences"},
        {block("idx=\"-1\" num_seqs=\"0\"", ""), "block index too high"},
        {block("idx=\"3\" num_seqs=\"0\"", ""), "block index too high"},
        {block("idx=\"0\" num_seqs=\"1\"", seq(0, 4, 4, 201, 0)), "too many addresses"},
        {block("idx=\"0\" num_seqs=\"1\"", seq(0, 4, 4, -1, 0)), "too many addresses"},
        {block("idx=\"0\" num_seqs=\"1\"", seq(1, 4, 4, 1, 1)), "CopySeq index too high"},
        {block("idx=\"0\" num_seqs=\"1\"", seq(0, 4, 0, 1, 1)), "copy sequence size invalid"},
        {block("idx=\"0\" num_seqs=\"1\"", seq(0, 4, 512, 1, 1)), "copy sequence size invalid"},
        {block("idx=\"0\" num_seqs=\"2\"", seq(0, 4, 4, 1, 1)), "copy sequence missing"},
        {block("idx=\"0\" num_seqs=\"1\"", seq(0, 4, 4, 2, 1)), "address missing"},
        {block("idx=\"0\" num_seqs=\"1\"", seq(0, 4, 4, 1, 1)) + block("idx=\"1\" num_seqs=\"1\"", ""),
         "copy sequence missing"}, // nothing is taken over from the block before
        {block("idx=\"0\" num_seqs=\"2\"", longList), "address list too long"},
        {block("idx=\"0\" num_seqs=\"0\" cond_id=\"62\"", ""), "condition index out of range"},
        {"<GlobStartCond idx=\"64\"/>", "condition index out of range"},
        {"<GlobStartCond idx=\"-2\"/>", "condition index out of range"},
        {"<Condition adr=\"1\" idx=\"2\" size=\"1\" pretrigger=\"0\"/>", "block index too high"},
        {"<Condition adr=\"1\" idx=\"-1\" size=\"1\" pretrigger=\"0\"/>", "block index too high"},
        {"<Condition adr=\"1\" idx=\"0\" size=\"0\" pretrigger=\"0\"/>", "condition size invalid"},
        {"<TeleInfo baudrate=\"1\" pause=\"0\" projectCode=\"1\" SoftwareID=\"1\" TeleIp=\"10.0.0\"/>",
         "TeleIp is no IPv4 address"},
        {"<Block name=\"b\" idx=\"0\" num_seqs=\"0\" true_div=\"1\" false_div=\"1\" Raster=\"R3ms\"></Block>",
         "attribute has wrong value (Raster)"},
        {"<AsapName name=\"a\"></AsapName>", "/> expected"},
        {"<Block name=\"b\" idx=\"0\" num_seqs=\"0\" true_div=\"1\" false_div=\"1\" Raster=\"R10ms\"/>",
         "> expected"},
        {block(
             "idx=\"0\" num_seqs=\"1\"",
             "<CopySeq align=\"4\" size=\"4\" num=\"1\" idx=\"0\"><adr adr=\"1\" idx=\"0\"></adr></CopySeq>"),
         "> expected"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(xml(kHead + r.body + "</AcqInfo>"), nullptr) << r.body;
        lines = log();
        EXPECT_TRUE(contains(lines, std::string("measAppXmlLoad(1): ") + r.fault + " in line "))
            << r.body << "\n"
            << testing::PrintToString(lines);
    }
    for (const char* head :
         {"num_blocks=\"256\" num_conditions=\"0\"", "num_blocks=\"-1\" num_conditions=\"0\"",
          "num_blocks=\"1\" num_conditions=\"63\""}) {
        EXPECT_EQ(
            xml(std::string("<AcqInfo ident=\"x\" ") + head + " version=\"1\" protocol=\"0\"></AcqInfo>"),
            nullptr);
        EXPECT_TRUE(contains(log(), "no measurement for M01")) << head;
    }
    // A text that ends inside TeleInfo, and a fault in no_check.xml.
    EXPECT_EQ(xml(kHead + "<TeleInfo baudrate=\"1\" pause=\"0\" projectCode=\"1\" SoftwareID=\"1\">"),
              nullptr);
    EXPECT_TRUE(contains(log(), "no measurement for M01"));
    EXPECT_EQ(xml(kHead + "</AcqInfo>",
                  "<UncheckedContent><PentraxProjectFileName name=\"p\">x</PentraxProjectFileName>"
                  "</UncheckedContent>"),
              nullptr);
    EXPECT_TRUE(contains(log(), "measAppXmlLoad(1): no_check.xml /> expected in line 1"));
}
