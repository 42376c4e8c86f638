// XmlLoad over the valid fixture, field by field, and the document-level rules of display.xml.
#include "dispxml_helpers.h"

#include "display/config/dispxml_vtab.h"
#include "testsupport.h"

#include <gtest/gtest.h>

using namespace disptest;
using testsupport::TempDeviceRoot;

namespace {

void expectRgb(const rgb_s& c, int r, int g, int b) {
    EXPECT_EQ(c.red, r);
    EXPECT_EQ(c.green, g);
    EXPECT_EQ(c.blue, b);
}

void expectChannel(const awm_meas_in& in, uint32_t adr, uint16_t type, uint32_t mask, float b = 1.0f,
                   float c = 0.0f) {
    EXPECT_EQ(in.adr, adr);
    EXPECT_EQ(in.type, type);
    EXPECT_EQ(in.mask, mask);
    EXPECT_FLOAT_EQ(in.quant_a, 0.0f);
    EXPECT_FLOAT_EQ(in.quant_b, b);
    EXPECT_FLOAT_EQ(in.quant_c, c);
    EXPECT_FLOAT_EQ(in.quant_d, 0.0f);
    EXPECT_FLOAT_EQ(in.quant_e, 0.0f);
    EXPECT_FLOAT_EQ(in.quant_f, 1.0f);
}

void expectUnsetChannel(const awm_meas_in& in) {
    EXPECT_EQ(in.adr, 0u);
    EXPECT_EQ(in.type, 0u);
    EXPECT_EQ(in.mask, 0xFFFFFFFFu);
}

class ValidFile : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::writeFile(root.file("cfg/display.xml"),
                               testsupport::readFile(testdataPath("display/display.xml")));
        display_s* out = nullptr;
        ASSERT_EQ(XmlLoad("cfg:/display.xml", &out), 0) << lastError();
        d.reset(out);
        ASSERT_NE(d, nullptr);
    }
    static std::string testdataPath(const std::string& rel) { return testsupport::testdataPath(rel); }
    std::string lookup(const char* table, uint32_t value) {
        char buf[VTAB_OUTPUT_SIZE];
        EXPECT_EQ(XmlVTabOutput(XmlSearchVTab(d->vtabs, table), value, buf), 0);
        return buf;
    }
    // The n-th element of a page's list.
    static display_elem_s* elem(page_s& p, int n) {
        display_elem_s* e = p.elems;
        while (e != nullptr && n-- > 0) e = e->next;
        return e;
    }

    TempDeviceRoot root;
    display_ptr d;
};

TEST_F(ValidFile, DisplayBrightnessAndInputs) {
    EXPECT_FLOAT_EQ(d->xml_version, 1.0f);
    EXPECT_FLOAT_EQ(d->version, 1.2f);
    EXPECT_EQ(d->x_res, 640);
    EXPECT_EQ(d->y_res, 480);
    ASSERT_EQ(d->perc_cnt, 6);
    const uint16_t perc[] = {10, 25, 40, 60, 80, 100};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(d->perc[i], perc[i]);
    expectChannel(d->reset_input, 0x00010203, TYPE_BOOL, 1);
    expectChannel(d->page_input, 0x1F000010, TYPE_UINT8, 0xFF);
    const awm_meas_in& b = d->brightness_input;
    EXPECT_EQ(b.adr, 0x1F000014u);
    EXPECT_EQ(b.type, TYPE_SINT16);
    EXPECT_EQ(b.mask, 0xFFFFu);
    EXPECT_FLOAT_EQ(b.quant_a, 0.5f);
    EXPECT_FLOAT_EQ(b.quant_b, -2.0f);
    EXPECT_FLOAT_EQ(b.quant_c, 3.25f);
    EXPECT_FLOAT_EQ(b.quant_f, 4.0f);
}

TEST_F(ValidFile, VerbalTablesInReverseFileOrder) {
    ASSERT_NE(d->vtabs, nullptr);
    EXPECT_STREQ(d->vtabs->name, "empty");
    ASSERT_NE(d->vtabs->next, nullptr);
    EXPECT_STREQ(d->vtabs->next->name, "state");
    ASSERT_NE(d->vtabs->next->next, nullptr);
    EXPECT_STREQ(d->vtabs->next->next->name, "gear");
    EXPECT_EQ(d->vtabs->next->next->next, nullptr);

    EXPECT_EQ(lookup("gear", 0), "N");
    EXPECT_EQ(lookup("gear", 6), "6");
    EXPECT_EQ(lookup("gear", 0xFFFFFFFFu), "R");
    EXPECT_EQ(lookup("gear", 7), "?");
    EXPECT_EQ(lookup("state", 1), "ON & OK");
    EXPECT_EQ(lookup("state", 100000), "\"FAIL\"");
    EXPECT_EQ(lookup("state", 2), "<unknown>");
    EXPECT_EQ(d->vtabs->root, nullptr);
    EXPECT_EQ(lookup("empty", 0), "-");
}

TEST_F(ValidFile, AllPagesElement) {
    page_s& all = d->all_pages;
    EXPECT_EQ(all.valid, 1);
    expectRgb(all.bg_col, 1, 2, 3);
    ASSERT_EQ(all.elem_cnt, 1);
    display_elem_s* e = all.elems;
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->next, nullptr);
    EXPECT_EQ(e->kind, ELEM_ALPHANUM);
    EXPECT_EQ(e->prio, 1u);
    EXPECT_EQ(e->pos_x, 280u);
    EXPECT_EQ(e->size_y, 100u);
    const alphanum_s& a = e->alphanum;
    EXPECT_STREQ(a.title, "Gear");
    EXPECT_EQ(a.font_size, FONT_XXXLARGE);
    EXPECT_EQ(a.align, ALIGN_TM);
    EXPECT_EQ(a.dispmode, DISPMODE_VERBAL);
    EXPECT_EQ(a.vtab, XmlSearchVTab(d->vtabs, "gear"));
    EXPECT_EQ(a.vis_mode, VIS_ALWAYS);
    EXPECT_EQ(a.always_on_top, 1);
    expectChannel(a.ch_input, 0x20000100, TYPE_SINT8, 0xFF);
    expectUnsetChannel(a.vis_input);
    EXPECT_EQ(a.has_lower, 0);
    EXPECT_EQ(a.has_upper, 0);
    EXPECT_EQ(a.deco_middle.style, DECO_NONE);
    expectRgb(a.deco_middle.border_fg_col, 0x80, 0x80, 0x80);
    expectRgb(a.deco_middle.text_fg_col, 0xFF, 0xFF, 0);
    EXPECT_EQ(a.blink, BLINK_OFF);
    EXPECT_EQ(a.min_disp_time, 0u);
}

TEST_F(ValidFile, FirstPageAlphaNumericWithAllDecorations) {
    page_s& p = d->pages[0];
    EXPECT_EQ(p.valid, 1);
    expectRgb(p.bg_col, 0x10, 0x20, 0x30);
    ASSERT_EQ(p.elem_cnt, 3);
    display_elem_s* e = elem(p, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, ELEM_ALPHANUM);
    EXPECT_FLOAT_EQ(e->version, 1.0f);
    EXPECT_EQ(e->prio, 10u);
    EXPECT_EQ(e->pos_x, 10u);
    EXPECT_EQ(e->pos_y, 120u);
    EXPECT_EQ(e->size_x, 200u);
    EXPECT_EQ(e->size_y, 80u);
    const alphanum_s& a = e->alphanum;
    EXPECT_STREQ(a.title, "Oil Temp");
    EXPECT_STREQ(a.format_str, "%5.1f \xB0"
                               "C");
    EXPECT_EQ(a.vis_mode, VIS_LIMIT_RESETABLE);
    EXPECT_EQ(a.always_on_top, 0);
    EXPECT_EQ(a.font_size, FONT_LARGE);
    EXPECT_EQ(a.align, ALIGN_MR);
    EXPECT_EQ(a.dispmode, DISPMODE_NORMAL);
    EXPECT_EQ(a.vtab, nullptr);
    EXPECT_EQ(a.blink, BLINK_FAST);
    EXPECT_EQ(a.min_disp_time, 2000u);
    EXPECT_EQ(a.auto_reset_time, 10000u);
    EXPECT_EQ(a.retrigger_time, 60000u);
    expectChannel(a.ch_input, 0x00123456, TYPE_FLOAT, 0xFFFFFFFF, 1.0f, -40.0f);
    expectChannel(a.vis_input, 0x00123460, TYPE_UINT16, 0x8000);

    EXPECT_EQ(a.has_lower, 1);
    EXPECT_FLOAT_EQ(a.lower_limit, 60.0f);
    EXPECT_FLOAT_EQ(a.lower_hyst, 2.5f);
    EXPECT_EQ(a.deco_lower.style, DECO_SINGLE_LINE);
    expectRgb(a.deco_lower.bg_col, 0, 0, 0xFF);
    expectRgb(a.deco_lower.title_bg_col, 0, 0, 0x80);
    expectRgb(a.deco_lower.title_fg_col, 0xFF, 0xFF, 0xFF);
    expectRgb(a.deco_lower.border_bg_col, 0, 0, 0x40);
    expectRgb(a.deco_lower.border_fg_col, 0xFF, 0xFF, 0xFF);
    expectRgb(a.deco_lower.text_bg_col, 0, 0, 0xFF);
    expectRgb(a.deco_lower.text_fg_col, 0xFF, 0xFF, 0xFF);

    EXPECT_EQ(a.deco_middle.style, DECO_DOUBLE_LINE);
    expectRgb(a.deco_middle.title_fg_col, 0xC0, 0xC0, 0xC0);
    expectRgb(a.deco_middle.text_fg_col, 0, 0xFF, 0); // a repeated colour: the last one wins

    EXPECT_EQ(a.has_upper, 1);
    EXPECT_FLOAT_EQ(a.upper_limit, 125.0f);
    EXPECT_FLOAT_EQ(a.upper_hyst, -0.5f);
    EXPECT_EQ(a.deco_upper.style, DECO_SINGLE_TOP);
    expectRgb(a.deco_upper.bg_col, 0xFF, 0, 0);
    expectRgb(a.deco_upper.border_bg_col, 0x40, 0, 0);
}

TEST_F(ValidFile, FirstPageBarGraph) {
    display_elem_s* e = elem(d->pages[0], 1);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, ELEM_BARGRAPH);
    EXPECT_EQ(e->prio, 20u);
    EXPECT_EQ(e->pos_y, 400u);
    EXPECT_EQ(e->size_x, 640u);
    const bargraph_s& b = e->bargraph;
    EXPECT_STREQ(b.title, "RPM");
    EXPECT_EQ(b.vis_mode, VIS_LIMIT);
    EXPECT_EQ(b.always_on_top, 1);
    EXPECT_EQ(b.style, BARGR_STACKED);
    EXPECT_EQ(b.orientation, BARGR_HORI_RL);
    EXPECT_EQ(b.show_ticks, 1);
    EXPECT_FLOAT_EQ(b.min, 0.0f);
    EXPECT_FLOAT_EQ(b.max, 12000.0f);
    expectChannel(b.ch_input, 0x00800010, TYPE_UINT16, 0xFFFF, 0.5f);
    expectChannel(b.vis_input, 0x00800014, TYPE_BOOL, 1);

    EXPECT_EQ(b.has_lower, 1);
    EXPECT_FLOAT_EQ(b.lower_limit, 1000.0f);
    EXPECT_FLOAT_EQ(b.lower_hyst, 50.0f);
    const bargraph_deco_s& lo = b.deco_lower;
    EXPECT_EQ(lo.style, DECO_SINGLE_SIDE);
    expectRgb(lo.bg_col, 1, 2, 3);
    expectRgb(lo.title_bg_col, 4, 5, 6);
    expectRgb(lo.title_fg_col, 7, 8, 9);
    expectRgb(lo.border_bg_col, 10, 11, 12);
    expectRgb(lo.border_fg_col, 13, 14, 15);
    expectRgb(lo.bar_bg_col, 0x10, 0x11, 0x12);
    expectRgb(lo.bar_fg_col, 0x13, 0x14, 0x15);
    expectRgb(lo.ticks_col, 0x16, 0x17, 0x18);
    EXPECT_EQ(b.deco_middle.style, DECO_NONE);
    expectRgb(b.deco_middle.bar_fg_col, 0, 0xFF, 0);
    EXPECT_EQ(b.has_upper, 1);
    EXPECT_FLOAT_EQ(b.upper_limit, 11000.0f);
    EXPECT_FLOAT_EQ(b.upper_hyst, 100.0f);
    EXPECT_EQ(b.deco_upper.style, DECO_DOUBLE_LINE);
    expectRgb(b.deco_upper.bar_fg_col, 0xFF, 0, 0);

    ASSERT_EQ(b.tick_cnt, 3);
    EXPECT_STREQ(b.ticks[0].name, "0");
    EXPECT_FLOAT_EQ(b.ticks[0].value, 0.0f);
    EXPECT_STREQ(b.ticks[1].name, "6000rpm");
    EXPECT_FLOAT_EQ(b.ticks[1].value, 6000.0f);
    EXPECT_STREQ(b.ticks[2].name, "12000 r"); // names keep seven characters
    EXPECT_FLOAT_EQ(b.ticks[2].value, 12000.0f);
}

TEST_F(ValidFile, FirstPagePicture) {
    display_elem_s* e = elem(d->pages[0], 2);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->next, nullptr);
    EXPECT_EQ(e->kind, ELEM_PICTURE);
    EXPECT_EQ(e->prio, 30u);
    EXPECT_EQ(e->pos_x, 500u);
    EXPECT_EQ(e->size_y, 60u);
    const picture_s& p = e->picture;
    EXPECT_STREQ(p.title, "Logo");
    EXPECT_STREQ(p.filename, "cfg:/images.bin");
    EXPECT_EQ(p.ofs, 416u);
    EXPECT_EQ(p.len, 4000u);
    EXPECT_EQ(p.vis_mode, VIS_ALWAYS);
    EXPECT_EQ(p.blink, BLINK_SLOW);
    EXPECT_EQ(p.min_disp_time, 0u);
    EXPECT_EQ(p.auto_reset_time, 4294967295u);
    EXPECT_EQ(p.retrigger_time, 1u);
    expectRgb(p.transparent_col, 0xFF, 0, 0xFF);
    EXPECT_EQ(p.deco.style, DECO_SINGLE_LINE);
    expectRgb(p.deco.title_fg_col, 0xFF, 0xFF, 0xFF);
    expectUnsetChannel(p.vis_input);
}

TEST_F(ValidFile, SecondPageAndUnusedSlots) {
    EXPECT_EQ(d->page_cnt, 2);
    page_s& p = d->pages[1];
    EXPECT_EQ(p.valid, 1);
    expectRgb(p.bg_col, 0xFF, 0, 0x80);
    ASSERT_EQ(p.elem_cnt, 1);
    const picture_s& pic = p.elems->picture;
    EXPECT_STREQ(pic.title, "");
    EXPECT_EQ(pic.vis_mode, VIS_LIMIT);
    EXPECT_EQ(pic.len, 0xFFFFFFFFu);
    EXPECT_EQ(pic.blink, BLINK_OFF);
    expectChannel(pic.vis_input, 0x00123470, TYPE_UINT32, 4);
    for (int i = 2; i < 12; ++i) {
        EXPECT_EQ(d->pages[i].valid, 0) << i;
        EXPECT_EQ(d->pages[i].elems, nullptr) << i;
    }
}

TEST_F(ValidFile, ElementOfAnotherVersionKeepsItsSlotButLeavesThePage) {
    // Slots in file order: AllPages' box, Oil, the version 2 box, RPM, Logo, the second page's picture.
    display_elem_s* block = d->elem_block;
    EXPECT_EQ(d->all_pages.elems, &block[0]);
    EXPECT_EQ(d->pages[0].elems, &block[1]);
    EXPECT_EQ(block[1].next, &block[3]);
    EXPECT_FLOAT_EQ(block[2].version, 0.0f);
    EXPECT_EQ(block[2].prio, 0u);
    EXPECT_EQ(d->pages[1].elems, &block[5]);
}

TEST(DisplayLoad, MissingAndEmptyFiles) {
    TempDeviceRoot root;
    display_s* d = nullptr;
    EXPECT_EQ(XmlLoad("cfg:/display.xml", &d), -1);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(lastError(), "File not found !");

    testsupport::writeFile(root.file("cfg/display.xml"), "");
    EXPECT_EQ(XmlLoad("cfg:/display.xml", &d), -1);
    EXPECT_EQ(lastError(), "File not found, len invalid!");
}

TEST(DisplayLoad, CrLfFileLoadsLikeTheLfOne) {
    std::string text = testsupport::readFile(testsupport::testdataPath("display/display.xml"));
    std::string crlf;
    for (char c : text) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    display_ptr a = parseText(text);
    display_ptr b = parseText(crlf);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->pages[0].elem_cnt, b->pages[0].elem_cnt);
    EXPECT_STREQ(a->pages[0].elems->alphanum.title, b->pages[0].elems->alphanum.title);
}

TEST(DisplayStructure, EmptyPagesLoadsWithoutPages) {
    display_ptr d = parseText(document(""));
    ASSERT_NE(d, nullptr) << lastError();
    EXPECT_EQ(d->page_cnt, 0);
    for (const page_s& p : d->pages) EXPECT_EQ(p.valid, 0);
    EXPECT_EQ(d->all_pages.elems, nullptr);
    EXPECT_EQ(d->vtabs, nullptr);
}

TEST(DisplayStructure, TwelvePagesLoadAndAThirteenthFails) {
    std::string twelve;
    for (int i = 0; i < 12; ++i) twelve += page("");
    display_ptr d = parseText(document(twelve));
    ASSERT_NE(d, nullptr) << lastError();
    EXPECT_EQ(d->page_cnt, 12);

    int r = 0;
    EXPECT_EQ(parseText(document(twelve + page("")), &r), nullptr);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(lastError(), "parse error: max page count reached");
}

TEST(DisplayStructure, XmlDeclarationNeedsVersionFirst) {
    std::string doc = document("");
    std::string withEncoding = doc;
    withEncoding.replace(0, 21, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    EXPECT_NE(parseText(withEncoding), nullptr) << lastError();
    std::string encodingFirst = doc;
    encodingFirst.replace(0, 21, "<?xml encoding=\"UTF-8\" version=\"1.0\"?>");
    EXPECT_EQ(parseText(encodingFirst), nullptr);
    EXPECT_EQ(lastError(), "parse error:  expecting version of xml in line 1 column 22");
}

TEST(DisplayStructure, ElementOfVersionTwoIsCheckedForAttributesOnly) {
    // No DecoMiddle, a VisInput-less "limit" mode and unknown content: all passed over.
    const std::string v2 =
        "<BarGraph version=\"2\" title=\"\" vis_mode=\"limit\" always_on_top=\"true\" prio=\"3\" "
        "pos_x=\"0\" pos_y=\"0\" size_x=\"1\" size_y=\"1\" style=\"solid\" orientation=\"vert_bt\" "
        "ticks=\"false\" min=\"0\" max=\"1\"><Whatever><Deeper/></Whatever></BarGraph>";
    display_ptr d = parseText(document(page(alphaNum("1", 1) + v2 + alphaNum("1", 2))));
    ASSERT_NE(d, nullptr) << lastError();
    EXPECT_EQ(d->pages[0].elem_cnt, 2);
    EXPECT_EQ(d->pages[0].elems->next->prio, 2u);

    std::string missing = v2;
    missing.replace(missing.find(" max=\"1\""), 8, "");
    EXPECT_EQ(parseText(document(page(missing))), nullptr);
    EXPECT_EQ(lastError().rfind("parse error: missing paramter in line", 0), 0u) << lastError();
}

TEST(DisplayStructure, PrioritiesRiseWithinEachPage) {
    EXPECT_EQ(parseText(document(page(alphaNum("1", 5) + alphaNum("1", 5)))), nullptr);
    EXPECT_EQ(lastError().rfind("parse error: prio not sorted", 0), 0u) << lastError();
    // A dropped element is not compared, and every page starts afresh.
    EXPECT_NE(parseText(document(page(alphaNum("1", 5) + alphaNum("2", 1) + alphaNum("1", 6)) +
                                 page(alphaNum("1", 1)))),
              nullptr)
        << lastError();
    // A dropped first element sets the reference with prio 0.
    EXPECT_NE(parseText(document(page(alphaNum("2", 9) + alphaNum("1", 1)))), nullptr) << lastError();
    EXPECT_EQ(parseText(document(page(alphaNum("2", 9) + alphaNum("1", 0)))), nullptr);
}

TEST(DisplayStructure, VerbalTableMustPrecedeItsUsers) {
    const std::string vtabs =
        "<VerbTabs><VerbTab name=\"g\" default=\"?\"><Tab str=\"N\" num=\"0\"/></VerbTab></VerbTabs>";
    display_ptr d = parseText(document(page(alphaNum("1", 1, "always", "g")), vtabs));
    ASSERT_NE(d, nullptr) << lastError();
    EXPECT_EQ(d->pages[0].elems->alphanum.vtab, d->vtabs);

    std::string after = document(page(alphaNum("1", 1, "always", "g")));
    after.insert(after.find("</Display>"), vtabs);
    EXPECT_EQ(parseText(after), nullptr);
    EXPECT_EQ(lastError().rfind("parse error: vtab reference not found", 0), 0u) << lastError();
}

TEST(DisplayStructure, VisibilityInputRequiredUnlessAlways) {
    EXPECT_NE(parseText(document(page(alphaNum("1", 1, "always")))), nullptr) << lastError();
    EXPECT_EQ(parseText(document(page(alphaNum("1", 1, "limit")))), nullptr);
    EXPECT_EQ(lastError().rfind("parse error: not all tags found", 0), 0u) << lastError();
    const std::string vis =
        "<VisInput adr=\"1\" type=\"BOOL\" mask=\"1\" quant_a=\"0\" quant_b=\"1\" quant_c=\"0\" "
        "quant_d=\"0\" quant_e=\"0\" quant_f=\"1\"/>";
    EXPECT_NE(parseText(document(page(alphaNum("1", 1, "limit", "", vis)))), nullptr) << lastError();
}

TEST(DisplayStructure, PageBackgroundColour) {
    std::string doc = document(page(""));
    doc.replace(doc.find("red=\"0\" green=\"0\" blue=\"0\""), 26, "red=\"FF\" green=\"0\" blue=\"80\"");
    display_ptr d = parseText(doc);
    ASSERT_NE(d, nullptr) << lastError();
    expectRgb(d->pages[0].bg_col, 255, 0, 128);
}

TEST(DisplayStructure, ChildGivenTwiceIsParsedTwice) {
    const std::string second = "<Brightness><perc value=\"1\"/></Brightness>";
    display_ptr d = parseText(document(page(""), second));
    ASSERT_NE(d, nullptr) << lastError();
    EXPECT_EQ(d->perc_cnt, 1);
    EXPECT_EQ(d->perc[0], 1);
    // A second VerbTabs replaces the first; its users find the later tables.
    const std::string t1 = "<VerbTabs><VerbTab name=\"a\" default=\"1\"></VerbTab></VerbTabs>";
    const std::string t2 = "<VerbTabs><VerbTab name=\"a\" default=\"2\"></VerbTab></VerbTabs>";
    d = parseText(document(page(alphaNum("1", 1, "always", "a")), t1 + t2));
    ASSERT_NE(d, nullptr) << lastError();
    ASSERT_NE(d->pages[0].elems->alphanum.vtab, nullptr);
    EXPECT_STREQ(d->pages[0].elems->alphanum.vtab->default_str, "2");
    EXPECT_EQ(d->vtabs->next, nullptr);
}

TEST(DisplayStructure, EachLoadStartsWithAnEmptyErrorText) {
    EXPECT_EQ(parseText(document(page(alphaNum("1", 5) + alphaNum("1", 5)))), nullptr);
    EXPECT_NE(lastError(), "");
    // The text ends inside an open element: no text of its own, and none from the earlier load.
    std::string cut = document(page(""));
    cut.resize(cut.find("</Pages>"));
    EXPECT_EQ(parseText(cut), nullptr);
    EXPECT_EQ(lastError(), "");
    // A successful load leaves no text either.
    EXPECT_EQ(parseText(document(page(alphaNum("1", 5) + alphaNum("1", 5)))), nullptr);
    EXPECT_NE(parseText(document("")), nullptr);
    EXPECT_EQ(lastError(), "");
}

TEST(DisplayStructure, TextEndingAnywhereFailsCleanly) {
    // Every prefix of the fixture short of the Display end tag fails without reading beyond it; the
    // sanitizer build checks the reads, the leak checker that failed loads free what they took.
    const std::string text = testsupport::readFile(testsupport::testdataPath("display/display.xml"));
    const size_t displayEnd = text.find("</Display>") + 10;
    for (size_t n = 0; n <= text.size(); n += 7) {
        std::vector<char> exact(text.begin(), text.begin() + static_cast<long>(n));
        xml_scan_s scan = xml_scan_init(exact.data(), static_cast<int32_t>(exact.size()));
        display_s* d = nullptr;
        const int r = XmlParseDisplay(&scan, &d);
        EXPECT_EQ(r == 0, n >= displayEnd) << n;
        EXPECT_EQ(d != nullptr, r == 0) << n;
        XmlFreeDisplay(d);
    }
}

TEST(DisplayStructure, PageElementCountCannotWrap) {
    // 65536 elements of another version: all take a slot and are counted before they leave the page.
    const std::string v2 =
        "<Picture version=\"2\" title=\"\" vis_mode=\"always\" always_on_top=\"false\" prio=\"0\" "
        "pos_x=\"0\" pos_y=\"0\" size_x=\"0\" size_y=\"0\" filename=\"\" ofs=\"0\" len=\"0\"></Picture>";
    std::string elems;
    elems.reserve(v2.size() * 65536);
    for (int i = 0; i < 65535; ++i) elems += v2;
    display_ptr d = parseText(document(page(elems)));
    ASSERT_NE(d, nullptr) << lastError();
    EXPECT_EQ(d->pages[0].elem_cnt, 0);
    elems += v2;
    EXPECT_EQ(parseText(document(page(elems))), nullptr);
    EXPECT_EQ(lastError().rfind("parse error: too many display elements", 0), 0u) << lastError();
}

} // namespace
