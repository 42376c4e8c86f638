// Every faulty display.xml in the test data fails with exactly the text on its first line.
#include "dispxml_helpers.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using disptest::lastError;

std::vector<std::string> errorFixtures() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(testsupport::testdataPath("display/errors"))) {
        if (e.path().extension() == ".xml") names.push_back(e.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// "<!-- expect: TEXT -->" on the first line.
std::string expectedText(const std::string& file) {
    const std::string head = "<!-- expect: ";
    const size_t end = file.find(" -->");
    if (file.rfind(head, 0) != 0 || end == std::string::npos) return "(no expectation line)";
    return end > head.size() ? file.substr(head.size(), end - head.size()) : std::string();
}

class ErrorFixture : public ::testing::TestWithParam<std::string> {};

TEST_P(ErrorFixture, FailsWithItsText) {
    testsupport::TempDeviceRoot root;
    const std::string text =
        testsupport::readFile(testsupport::testdataPath("display/errors/" + GetParam() + ".xml"));
    testsupport::writeFile(root.file("cfg/display.xml"), text);

    // An earlier failure must not leave its text behind.
    xml_error("stale text of an earlier load", nullptr);
    display_s* d = reinterpret_cast<display_s*>(0x1);
    EXPECT_EQ(XmlLoad("cfg:/display.xml", &d), -1);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(lastError(), expectedText(text));
}

INSTANTIATE_TEST_SUITE_P(DisplayXml, ErrorFixture, ::testing::ValuesIn(errorFixtures()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

} // namespace
