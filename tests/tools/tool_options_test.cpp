// The option parser that every test and benchmark tool reads its command
// line with.
#include "tools/common/tool_options.h"

#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

using toolopt::OptionParser;

struct Parsed {
    bool flag = false;
    std::uint16_t port = 0;
    std::string name;
    std::vector<std::string> triple;
};

OptionParser parserFor(Parsed& p) {
    OptionParser parser;
    parser.flag("--flag", [&p] { p.flag = true; })
        .number("--port", 1, 65535, p.port)
        .text("--name", p.name)
        .option("--triple", 3, [&p](const OptionParser::Values& values) {
            p.triple = values;
            return values[0] != "bad";
        });
    return parser;
}

// Parses args; the error, or "ok".
std::string outcome(const OptionParser& parser, const std::vector<std::string>& args) {
    std::string error;
    return parser.parse(args, error) ? "ok" : error;
}

TEST(ToolOptions, ReadsFlagsValuesAndGroupsInAnyOrder) {
    Parsed p;
    EXPECT_EQ("ok", outcome(parserFor(p), {"--name", "--flag", "--triple", "a", "b", "c", "--flag",
                                           "--port", "0x1F90"}));
    EXPECT_TRUE(p.flag);
    EXPECT_EQ("--flag", p.name) << "a value may look like an option";
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), p.triple);
    EXPECT_EQ(8080, p.port);
}

TEST(ToolOptions, NamesWhatIsWrong) {
    Parsed p;
    const OptionParser parser = parserFor(p);
    EXPECT_EQ("unknown option --nope", outcome(parser, {"--flag", "--nope"}));
    EXPECT_EQ("unknown option 8080", outcome(parser, {"8080"}));
    EXPECT_EQ("missing value after --port", outcome(parser, {"--port"}));
    EXPECT_EQ("missing value after --triple", outcome(parser, {"--triple", "a", "b"}));
    EXPECT_EQ("bad value for --port: 65536", outcome(parser, {"--port", "65536"}));
    EXPECT_EQ("bad value for --triple: bad b c", outcome(parser, {"--triple", "bad", "b", "c"}));
    EXPECT_EQ("ok", outcome(parser, {}));
}

TEST(ToolOptions, RequiredOptionsMustBeGiven) {
    std::string name;
    OptionParser parser;
    parser.text("--name", name).required();
    EXPECT_EQ("--name is needed", outcome(parser, {}));
    EXPECT_EQ("ok", outcome(parser, {"--name", ""}));
}

TEST(ToolOptions, NumbersAreDecimalOrHexWithinTheirRange) {
    unsigned long long n = 0;
    EXPECT_TRUE(toolopt::parseNumber("0", 0, 10, n));
    EXPECT_EQ(0u, n);
    EXPECT_TRUE(toolopt::parseNumber("010", 0, 10, n)) << "decimal, not octal";
    EXPECT_EQ(10u, n);
    EXPECT_TRUE(toolopt::parseNumber("0xff", 0, 255, n));
    EXPECT_EQ(255u, n);
    EXPECT_TRUE(toolopt::parseNumber("18446744073709551615", 0, ~0ull, n));
    EXPECT_EQ(~0ull, n);
    for (const char* bad :
         {"", "-1", "+1", " 1", "1 ", "12abc", "0x", "0xg", "1e3", "18446744073709551616"}) {
        EXPECT_FALSE(toolopt::parseNumber(bad, 0, ~0ull, n)) << bad;
    }
    EXPECT_FALSE(toolopt::parseNumber("11", 0, 10, n));
    EXPECT_FALSE(toolopt::parseNumber("0", 1, 10, n));
    std::uint8_t narrow = 7;
    EXPECT_FALSE(toolopt::parseNumber("256", 0, 255, narrow));
    EXPECT_EQ(7, narrow) << "a refused value leaves the target alone";
}

TEST(ToolOptions, ArgvSkipsTheProgramName) {
    Parsed p;
    char program[] = "tool";
    char flag[] = "--flag";
    char* argv[] = {program, flag, nullptr};
    std::string error;
    EXPECT_TRUE(parserFor(p).parse(2, argv, error)) << error;
    EXPECT_TRUE(p.flag);
}

}  // namespace
