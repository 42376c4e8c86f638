// The classes together, the way the configuration loaders read their files.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xml/xmlerror.h"
#include "xml/xmlhelper.h"
#include "xml/xmltagparser.h"
#include "xmltest_util.h"

using xmltest::raised;

namespace {

struct Track {
    std::string name;
    int32_t id;
    float latitude, longitude, tracklen;
};

// Reads rtracks.xml as the track detection does: groups with attributes, their track elements,
// everything else passed over.
std::vector<Track> readTracks(const char* text) {
    XmlScan scan(text);
    XmlTok_t tok;
    int32_t version = 0, num = 0;
    XmlTagParser group(2);
    group.addAttribute("version", &version, 4, XMLTYPE_SIGNED);
    group.addAttribute("num", &num, 4, XMLTYPE_SIGNED);
    char name[65];
    Track t{};
    XmlTagParser track(5);
    track.addAttribute("name", name, sizeof name, XMLTYPE_TEXT);
    track.addAttribute("trackId", &t.id, 4, XMLTYPE_SIGNED);
    track.addAttribute("latitude", &t.latitude, 4, XMLTYPE_FLOAT);
    track.addAttribute("longitude", &t.longitude, 4, XMLTYPE_FLOAT);
    track.addAttribute("tracklen", &t.tracklen, 4, XMLTYPE_FLOAT);

    std::vector<Track> out;
    XmlHelper document(&scan);
    while (document.next(tok)) {
        const bool isStart = tok.type == XMLTOK_START || tok.type == XMLTOK_START_ATTR;
        if (!isStart || tok.name != "Tracks") continue;
        XmlHelper groups(&scan);
        while (groups.next(tok)) {
            const bool isGroup = tok.name == "BaseTracks" || tok.name == "CustomTracks";
            if (tok.type != XMLTOK_START_ATTR || !isGroup) {
                if (tok.type == XMLTOK_START || tok.type == XMLTOK_START_ATTR) scan.scanOverTag(tok);
                continue;
            }
            if (group.parse(&scan) == XMLTOK_EMPTY_END) continue;
            int count = 0;
            XmlHelper tracks(&scan);
            while (tracks.next(tok)) {
                if (tok.type != XMLTOK_START_ATTR || tok.name != "track") {
                    if (tok.type == XMLTOK_START) scan.scanOverTag(tok);
                    continue;
                }
                if (track.parse(&scan) != XMLTOK_EMPTY_END) throw XmlError("/> expected", &scan);
                if (++count > num)
                    throw XmlError("parsed more track elements than mentioned in header", &scan);
                t.name = name;
                out.push_back(t);
            }
        }
    }
    return out;
}

} // namespace

TEST(XmlHelper, WalksTheContentOfOneElementWhateverTheLoaderReadsInBetween) {
    const std::string text = xmltest::fixture("rtracks.xml");
    const std::vector<Track> tracks = readTracks(text.c_str());
    ASSERT_EQ(tracks.size(), 3u);
    EXPECT_EQ(tracks[0].name, "Nordschleife");
    EXPECT_EQ(tracks[0].id, 1);
    EXPECT_FLOAT_EQ(tracks[0].tracklen, 20832.0f);
    EXPECT_EQ(tracks[1].name, "Hockenheim");
    EXPECT_FLOAT_EQ(tracks[1].longitude, 8.5656f);
    EXPECT_EQ(tracks[2].name, "Test oval");
    EXPECT_EQ(tracks[2].id, 77);
    EXPECT_FLOAT_EQ(tracks[2].latitude, -33.5f);
}

TEST(XmlHelper, LoaderFaultsCarryThePositionOfTheOffendingTag) {
    std::string text = xmltest::fixture("rtracks.xml");
    // One track more than the group declares.
    std::string more = text;
    more.replace(more.find("num=\"1\""), 7, "num=\"0\"");
    EXPECT_EQ(raised([&] { readTracks(more.c_str()); }),
              "parsed more track elements than mentioned in header in line 12 column 95");
    // A track with content instead of "/>".
    std::string open = text;
    const size_t at = open.find("tracklen=\"4574.0\"/>") + 17;
    open.replace(at, 2, "></track>");
    EXPECT_EQ(raised([&] { readTracks(open.c_str()); }), "/> expected in line 5 column 97");
    // A track without tracklen.
    std::string missing = text;
    missing.replace(missing.find(" tracklen=\"2100.5\""), 18, "");
    EXPECT_EQ(raised([&] { readTracks(missing.c_str()); }),
              "mandatory attribute not found (tracklen) in line 12 column 77");
}

TEST(XmlHelper, EndsAtTheElementsEndAndAtTheEndOfTheDocument) {
    XmlScan scan("<a><b x='1'><c/></b><d/></a>");
    XmlTok_t tok;
    XmlHelper all(&scan);
    ASSERT_TRUE(all.next(tok)); // <a>
    XmlHelper inA(&scan);
    std::vector<std::string> seen;
    while (inA.next(tok)) {
        seen.push_back(std::to_string(tok.type) + tok.name);
        if (tok.name == "b" && tok.type == XMLTOK_START_ATTR) scan.scanOverTag(tok);
    }
    const std::vector<std::string> expected = {"1b", "1d", "3d"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(tok.type, XMLTOK_END);
    EXPECT_EQ(tok.name, "a");
    EXPECT_FALSE(inA.next(tok)) << "stays ended";
    EXPECT_FALSE(all.next(tok)) << "nothing after the root";
    EXPECT_TRUE(scan.isEof());

    // The attributes of the walked element's own start tag are no content; an empty element has none.
    XmlScan attrs("<a k='1'><b x='2'/></a>");
    all = XmlHelper(&attrs);
    ASSERT_TRUE(all.next(tok));
    XmlHelper inAttrA(&attrs);
    ASSERT_TRUE(inAttrA.next(tok));
    EXPECT_EQ(tok.type, XMLTOK_START_ATTR);
    EXPECT_EQ(tok.name, "b");
    XmlHelper inEmptyB(&attrs);
    EXPECT_FALSE(inEmptyB.next(tok));
    EXPECT_EQ(tok.type, XMLTOK_EMPTY_END);
    EXPECT_FALSE(inAttrA.next(tok));
    EXPECT_EQ(tok.name, "a");

    // A walk whose element the loader skipped itself is over.
    XmlScan again("<a><b><c/></b></a>");
    XmlHelper doc(&again);
    doc.next(tok);
    doc.next(tok);
    ASSERT_EQ(tok.name, "b");
    XmlHelper inB(&again);
    again.scanOverTag(tok);
    EXPECT_FALSE(inB.next(tok));
    EXPECT_TRUE(doc.next(tok));
    EXPECT_EQ(tok.type, XMLTOK_END);
    EXPECT_EQ(tok.name, "a");
}

TEST(XmlError, FormatsThePositionOfTheTokenReadLast) {
    XmlScan scan("<a>\n  <b/>\n</a>");
    XmlTok_t tok;
    scan.getTok(tok);
    scan.getTok(tok);
    EXPECT_STREQ(XmlError("illegal index", &scan), "illegal index in line 2 column 3");
    EXPECT_STREQ(XmlError("out of memory", nullptr), "out of memory");
    // An earlier result passed in again, and a text too long for the buffer: cut, terminated.
    const char* first = XmlError("pid too high", &scan);
    EXPECT_STREQ(XmlError(first, &scan), "pid too high in line 2 column 3 in line 2 column 3");
    const std::string longText(400, 'x');
    EXPECT_EQ(std::string(XmlError(longText.c_str(), &scan)).size(), 253u);
}
