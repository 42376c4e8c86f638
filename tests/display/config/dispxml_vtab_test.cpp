// Verbal tables: syntax, the balanced tree and the lookup.
#include "dispxml_helpers.h"

#include "display/config/dispxml_vtab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace disptest;

namespace {

std::string vtabDoc(const std::string& tables) {
    return document("", "<VerbTabs>" + tables + "</VerbTabs>");
}

std::string table(const std::string& name, const std::vector<int64_t>& nums, const std::string& def = "-") {
    std::string s = "<VerbTab name=\"" + name + "\" default=\"" + def + "\">";
    for (int64_t n : nums) s += "<Tab str=\"v" + std::to_string(n) + "\" num=\"" + std::to_string(n) + "\"/>";
    return s + "</VerbTab>";
}

int height(const verbtab_entry_s* n) {
    return n == nullptr ? 0 : 1 + std::max(height(n->left), height(n->right));
}

// Checks order, balance factors and parent links of the whole tree; returns the node count.
int checkTree(const verbtab_entry_s* n, const verbtab_entry_s* parent) {
    if (n == nullptr) return 0;
    EXPECT_EQ(n->parent, parent);
    if (n->left != nullptr) {
        EXPECT_LT(static_cast<uint32_t>(n->left->num), static_cast<uint32_t>(n->num));
    }
    if (n->right != nullptr) {
        EXPECT_GT(static_cast<uint32_t>(n->right->num), static_cast<uint32_t>(n->num));
    }
    const int balance = height(n->right) - height(n->left);
    EXPECT_EQ(balance, n->balance) << n->num;
    EXPECT_LE(std::abs(balance), 1) << n->num;
    return 1 + checkTree(n->left, n) + checkTree(n->right, n);
}

std::string output(const verbtab_s* t, uint32_t value) {
    char buf[VTAB_OUTPUT_SIZE];
    EXPECT_EQ(XmlVTabOutput(t, value, buf), 0);
    return buf;
}

TEST(VerbalTable, SevenEntriesGiveHeightThreeWithFourAtTheRoot) {
    display_ptr d = parseText(vtabDoc(table("g", {1, 2, 3, 4, 5, 6, 7})));
    ASSERT_NE(d, nullptr) << lastError();
    const verbtab_entry_s* root = d->vtabs->root;
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->num, 4);
    EXPECT_EQ(height(root), 3);
    EXPECT_EQ(checkTree(root, nullptr), 7);
}

TEST(VerbalTable, StaysBalancedForEverySize) {
    for (int n = 0; n <= 100; ++n) {
        std::vector<int64_t> nums;
        for (int i = 0; i < n; ++i) nums.push_back(i * 3);
        display_ptr d = parseText(vtabDoc(table("t", nums)));
        ASSERT_NE(d, nullptr) << lastError();
        EXPECT_EQ(checkTree(d->vtabs->root, nullptr), n);
        // An AVL tree of n nodes is at most about 1.44 log2(n + 2) high.
        EXPECT_LE(height(d->vtabs->root), static_cast<int>(1.45 * std::log2(n + 2.0)) + 1) << n;
        for (int i = 0; i < n; ++i) EXPECT_EQ(output(d->vtabs, i * 3), "v" + std::to_string(i * 3));
        EXPECT_EQ(output(d->vtabs, 1), "-");
    }
}

TEST(VerbalTable, UnsignedOrder) {
    display_ptr d = parseText(vtabDoc(table("t", {0, -1})));
    ASSERT_NE(d, nullptr) << lastError();
    EXPECT_EQ(output(d->vtabs, 0xFFFFFFFFu), "v-1");
    EXPECT_EQ(output(d->vtabs, 0), "v0");

    EXPECT_EQ(parseText(vtabDoc(table("t", {-1, 0}))), nullptr);
    EXPECT_EQ(lastError().rfind("parse error: vtabs not sorted", 0), 0u) << lastError();
    EXPECT_EQ(parseText(vtabDoc(table("t", {2, 2}))), nullptr);
    EXPECT_EQ(lastError().rfind("parse error: vtabs not sorted", 0), 0u) << lastError();
    EXPECT_NE(parseText(vtabDoc(table("t", {-2147483648LL, -1}))), nullptr) << lastError();
    EXPECT_EQ(parseText(vtabDoc(table("t", {2147483648LL}))), nullptr);
    EXPECT_EQ(lastError().rfind("parse error: expecting vtab tag", 0), 0u) << lastError();
}

TEST(VerbalTable, EmptyTableGivesItsDefault) {
    display_ptr d = parseText(vtabDoc(table("t", {}, "none")));
    ASSERT_NE(d, nullptr) << lastError();
    EXPECT_EQ(d->vtabs->root, nullptr);
    EXPECT_EQ(output(d->vtabs, 0), "none");
    EXPECT_EQ(output(d->vtabs, 12345), "none");
}

TEST(VerbalTable, LaterTableOfTheSameNameWins) {
    display_ptr d = parseText(vtabDoc(table("a", {1}, "first") + table("b", {}) + table("a", {2}, "second")));
    ASSERT_NE(d, nullptr) << lastError();
    verbtab_s* a = XmlSearchVTab(d->vtabs, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->default_str, "second");
    EXPECT_NE(XmlSearchVTab(d->vtabs, "b"), nullptr);
    EXPECT_EQ(XmlSearchVTab(d->vtabs, "A"), nullptr);
    EXPECT_EQ(XmlSearchVTab(d->vtabs, nullptr), nullptr);
    EXPECT_EQ(XmlSearchVTab(nullptr, "a"), nullptr);
}

TEST(VerbalTable, TabMustBeExactlyStrAndNum) {
    const char* bad[] = {
        "<Tab str=\"a\"/>",                     // num missing
        "<Tab num=\"1\"/>",                     // str missing
        "<Tab str=\"a\" num=\"1\" str=\"b\"/>", // repeated
        "<Tab str=\"a\" num=\"1\" x=\"1\"/>",   // unknown
        "<Tab str=\"a\" num=\"1\"></Tab>",      // not empty
        "<Tab str=\"a\" num=\"1.5\"/>",         // not an integer
        "<Other str=\"a\" num=\"1\"/>",         // not a Tab, and not skipped
        "<Tab>",                                // no attributes
    };
    for (const char* tab : bad) {
        EXPECT_EQ(parseText(vtabDoc(std::string("<VerbTab name=\"t\" default=\"-\">") + tab + "</VerbTab>")),
                  nullptr)
            << tab;
        EXPECT_EQ(lastError().rfind("parse error: expecting vtab tag in line", 0), 0u)
            << tab << ": " << lastError();
    }
}

TEST(VerbalTable, LongTextsFitTheOutputBuffer) {
    const std::string text(254, 't');
    const std::string doc = vtabDoc("<VerbTab name=\"t\" default=\"" + text + "\"><Tab str=\"" + text +
                                    "\" num=\"1\"/></VerbTab>");
    display_ptr d = parseText(doc);
    ASSERT_NE(d, nullptr) << lastError();
    EXPECT_EQ(output(d->vtabs, 1), text);
    EXPECT_EQ(output(d->vtabs, 2), text);
}

} // namespace
