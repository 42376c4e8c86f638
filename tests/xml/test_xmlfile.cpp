#include <string>

#include <gtest/gtest.h>

#include "testsupport.h"
#include "xml/xmlfile.h"
#include "xmltest_util.h"

using xmltest::raised;

TEST(XmlFile, ReadsAFileOfADriveAndScansIt) {
    testsupport::TempDeviceRoot root;
    testsupport::writeFile(root.file("cfg/eventcfg.xml"), xmltest::fixture("tokens.xml"));
    XmlFile file("cfg:/eventcfg.xml");
    XmlTok_t tok;
    ASSERT_NE(file.getScanner(), nullptr);
    EXPECT_EQ(file.getScanner()->getTok(tok), XMLTOK_START);
    EXPECT_EQ(tok.name, "EventList");
    EXPECT_EQ(file.getScanner()->getLine(), 3);
    // The drive may also be named without a slash.
    testsupport::writeFile(root.file("cfg/rtracks.xml"), "<Tracks/>");
    XmlFile tracks("cfg:rtracks.xml");
    EXPECT_EQ(tracks.getScanner()->getTok(tok), XMLTOK_START_ATTR);
}

TEST(XmlFile, FilesThatCannotBeReadRaiseTheirText) {
    testsupport::TempDeviceRoot root;
    testsupport::writeFile(root.file("cfg/empty.xml"), "");
    testsupport::makeDirs(root.file("cfg/folder.xml"));
    EXPECT_EQ(raised([] { XmlFile f("cfg:/missing.xml"); }), "File not found : cfg:/missing.xml");
    EXPECT_EQ(raised([] { XmlFile f("cfg:/empty.xml"); }), "File not found, len invalid : cfg:/empty.xml");
    EXPECT_EQ(raised([] { XmlFile f("cfg:/folder.xml"); }), "File not found : cfg:/folder.xml");
    EXPECT_EQ(raised([] { XmlFile f("cfg:/../outside.xml"); }), "File not found : cfg:/../outside.xml");
    EXPECT_EQ(raised([] { XmlFile f(nullptr); }), "File not found : ");
}

TEST(XmlFile, AFaultyFileIsReadAndItsFaultRaisedByTheScanner) {
    testsupport::TempDeviceRoot root;
    testsupport::writeFile(root.file("cfg/m01.xml"), xmltest::fixture("broken.xml"));
    XmlFile file("cfg:/m01.xml");
    XmlTok_t tok;
    const std::string error = raised([&] {
        while (file.getScanner()->getTok(tok) != XMLTOK_EOF) {
        }
    });
    EXPECT_EQ(error, "XmlScan Error: mismatched tag in line 7 column 5");
}
