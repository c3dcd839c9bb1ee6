// LdsVersion, LdsAbout and the warning switch, through the stand-in host.
#include <string>

#include <gtest/gtest.h>

#include "kelhost/kel.hpp"

namespace {

const char kNoArgument[] = "LdsWarning(): at least one argument required";
const char kLikWarning[] = "LdsLik(): non-positive semi-definite innovation variance matrix";

int &warningSwitch(kel::Host &host)
{
    return *static_cast<int *>(host.symbol("fLdsNoErrorMessage"));
}

TEST(Info, Version)
{
    kel::Host host;
    EXPECT_EQ(host.call("LdsVersion", {}).asInt(), 300);
}

TEST(Info, AboutPrintsEightLines)
{
    kel::Host host;
    host.call("LdsAbout", {});
    const auto &lines = host.messages();
    ASSERT_EQ(lines.size(), 8u);
    const std::string &first = lines[0];
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first[0], '\n');
    EXPECT_NE(first.find("Vantrel"), std::string::npos) << first;
    EXPECT_NE(first.find("3.00"), std::string::npos) << first;
    EXPECT_NE(first.find("September 2008"), std::string::npos) << first;
    EXPECT_FALSE(lines[1].empty());
    EXPECT_NE(lines[1].compare(0, 4, "    "), 0) << lines[1];
    for (std::size_t i = 2; i < lines.size(); i++) {
        EXPECT_EQ(lines[i].compare(0, 4, "    "), 0) << "line " << i + 1 << ": " << lines[i];
        EXPECT_GT(lines[i].size(), 4u) << "line " << i + 1;
    }
}

// A model whose data are all missing: the filter has nothing to count and
// LdsLik fails with its warning.
int failingLik(kel::Host &host)
{
    kel::Value ll, s2;
    kel::Value y = {{kel::nan(), kel::nan(), kel::nan()}};
    kel::Value sys = {{0.5}, {1.0}};
    kel::Value var = {{1.0, 0.0}, {0.0, 1.0}};
    kel::Value r = host.call("LdsLik", {kel::ref(ll), kel::ref(s2), y, sys, var});
    EXPECT_EQ(ll.type(), KEL_INT) << "reference written after a failure";
    return r.asInt();
}

TEST(Info, WarningSwitch)
{
    kel::Host host;
    int &off = warningSwitch(host);
    ASSERT_EQ(off, 0) << "warnings must be on at load time";

    EXPECT_EQ(failingLik(host), 0);
    ASSERT_EQ(host.messages().size(), 1u);
    EXPECT_EQ(host.messages()[0], kLikWarning);
    host.clearMessages();

    struct Case { int arg, off; } cases[] = {{-3, 1}, {2, 0}, {0, 1}, {1, 0}};
    for (const Case &c : cases) {
        host.call("LdsWarning", {c.arg});
        EXPECT_EQ(off, c.off) << "LdsWarning(" << c.arg << ")";
    }

    host.call("LdsWarning", {-3});
    EXPECT_EQ(failingLik(host), 0);
    EXPECT_TRUE(host.messages().empty()) << host.messages()[0];

    // Without an argument: the run-time error in both states, switch kept.
    for (int state : {1, 0}) {
        host.call("LdsWarning", {state ? 0 : 1});
        std::string text;
        EXPECT_EQ(host.tryCall("LdsWarning", {}, nullptr, &text), KELHOST_ERR_RUNTIME);
        EXPECT_EQ(text, kNoArgument);
        EXPECT_EQ(off, state);
    }

    // The switch is an int argument.
    EXPECT_EQ(host.tryCall("LdsWarning", {kel::Value{{1.0}}}), KELHOST_ERR_TYPE);
    EXPECT_EQ(off, 0);
}

}  // namespace
