// Key/value reader: section and whole-file reading rules, typed getters and their exact
// error texts.
#include <gtest/gtest.h>

#include "Basekit/KConfigReader.h"
#include "tests/Basekit/LogTestSupport.h"

namespace {

const char* const Path = "/etc/varnel/config/reader.cfg";

// Runs fn and returns the text of the KBaseException it raised ("" if none).
template <typename F>
std::string ErrorOf(F fn)
{
    try {
        fn();
    } catch (const KBaseException& error) {
        return error.what();
    }
    return "";
}

struct SectionCase {
    const char* name;
    const char* file;
    const char* section;
    const char* key;
    const char* expected; // value, or the exception text when error is set
    bool error;
    friend void PrintTo(const SectionCase& c, std::ostream* os) { *os << c.name; }
};

class SectionRead : public ::testing::TestWithParam<SectionCase> {};

TEST_P(SectionRead, FindsValueOrFailsWithExactText)
{
    const SectionCase& c = GetParam();
    logtest::WriteFile(Path, c.file);
    KConfigReader reader;
    std::string value;
    std::string error = ErrorOf([&] {
        reader.LoadSection(Path, c.section);
        value = reader.GetString(c.key);
    });
    if (c.error)
        EXPECT_EQ(error, c.expected);
    else
        EXPECT_EQ(value, c.expected) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SectionRead,
    ::testing::Values(
        SectionCase{"NameCaseInsensitive", "[tavo]\nValue=true\n", "TAVO", "Value", "true", false},
        SectionCase{"KeyCaseInsensitive", "[TAVO]\nbootp=true\n", "TAVO", "BOOTP", "true", false},
        SectionCase{"ValueTrimmed", "[TAVO]\nValue=  true \t\n", "TAVO", "Value", "true", false},
        SectionCase{"CrLfLineEnd", "[TAVO]\r\nValue=true\r\n", "TAVO", "Value", "true", false},
        SectionCase{"LastLineWithoutLineEnd", "[TAVO]\nValue=abc", "TAVO", "Value", "abc", false},
        SectionCase{"OnlyFirstOfTwoSections", "[TAVO]\nA=1\n[TAVO]\nA=2\nB=3\n", "TAVO", "A", "1", false},
        SectionCase{"SecondSectionNotRead", "[TAVO]\nA=1\n[TAVO]\nB=3\n", "TAVO", "B",
                    "Config item [B] not found(config[/etc/varnel/config/reader.cfg])", true},
        SectionCase{"StopsAtNextSection", "[TAVO]\nA=1\n[Config]\nB=2\n", "TAVO", "B",
                    "Config item [B] not found(config[/etc/varnel/config/reader.cfg])", true},
        SectionCase{"CommentsAndBlankLinesSkipped", "# c\n\n[TAVO]\n# Value=false\n\nValue=true\n", "TAVO",
                    "Value", "true", false},
        // "Value =true" keeps the blank in the key, so "Value" is not there.
        SectionCase{"BlankBeforeEquals", "[TAVO]\nValue =true\n", "TAVO", "Value",
                    "Config item [Value] not found(config[/etc/varnel/config/reader.cfg])", true},
        SectionCase{"InvalidSectionBeforeWanted", "[Broken\n[TAVO]\nValue=true\n", "TAVO", "Value",
                    "Invalid section [[Broken](config[/etc/varnel/config/reader.cfg])", true},
        SectionCase{"MissingSection", "[Config]\nA=1\n", "TAVO", "Value",
                    "Section [TAVO] not found(config[/etc/varnel/config/reader.cfg])", true}),
    [](const ::testing::TestParamInfo<SectionCase>& param) { return std::string(param.param.name); });

TEST(KConfigReader, MissingFileTextsForBothModesAndCreatingIt)
{
    unlink(Path);
    KConfigReader reader;
    const std::string expected = "Config file not found(config[/etc/varnel/config/reader.cfg])";
    EXPECT_EQ(ErrorOf([&] { reader.LoadFile(Path, false); }), expected);
    EXPECT_EQ(ErrorOf([&] { reader.LoadSection(Path, "TAVO"); }), expected);
    struct Recorder : KConfigReader {
        std::vector<std::string> warnings;
        void Warning(const char* text) override { warnings.push_back(text); }
    } creating;
    creating.LoadFile(Path, true);
    EXPECT_TRUE(logtest::Exists(Path));
    EXPECT_EQ(creating.Count(), 0u);
    EXPECT_EQ(creating.warnings, (std::vector<std::string>{
                                     "File /etc/varnel/config/reader.cfg not found, trying to create...",
                                     "File created successfully"}));
}

TEST(KConfigReader, WholeFileFirstOccurrenceWinsKeepsBlanksAndCutsValuesTo99Characters)
{
    logtest::WriteFile(Path, "[KLogger]\nMaxLogFileSize=100\n[TAVO]\nmaxlogfilesize=200\n>marker\nflag\n");
    KConfigReader reader;
    reader.LoadFile(Path, false);
    EXPECT_EQ(reader.GetString("MAXLOGFILESIZE"), "100");
    EXPECT_EQ(reader.GetString("[TAVO]"), "");
    EXPECT_EQ(reader.GetString("flag"), "");
    // A section marker never answers a lookup, even of its own text.
    EXPECT_FALSE(reader.ValueExists(">marker"));
    logtest::WriteFile(Path, "Key= spaced \nLong=" + std::string(150, 'x') + "\n");
    reader.LoadFile(Path, false);
    EXPECT_EQ(reader.GetString("Key"), " spaced ");
    EXPECT_EQ(reader.GetString("Long"), std::string(99, 'x'));
}

struct NumberCase {
    const char* name;
    const char* value;
    char getter; // 'i' integer, 'h' hexadecimal, 'd' double
    double expected;
    const char* error; // exact text, or nullptr
    friend void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.name; }
};

class NumberRead : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberRead, ParsesOrRaises)
{
    const NumberCase& c = GetParam();
    logtest::WriteFile(Path, std::string("N=") + c.value + "\n");
    KConfigReader reader;
    reader.LoadFile(Path, false);
    double got = 0;
    std::string error = ErrorOf([&] {
        if (c.getter == 'i')
            got = reader.GetInteger("N");
        else if (c.getter == 'h')
            got = reader.GetHexadecimal("N");
        else
            got = reader.GetDouble("N");
    });
    if (c.error)
        EXPECT_EQ(error, c.error);
    else
        EXPECT_DOUBLE_EQ(got, c.expected) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Getters, NumberRead,
    ::testing::Values(
        NumberCase{"Decimal", "42", 'i', 42, nullptr},
        NumberCase{"DecimalWithTrailingText", "42kb", 'i', 42, nullptr},
        NumberCase{"Hex", "ff", 'h', 255, nullptr},
        NumberCase{"DoubleWithComma", "1,5", 'd', 1.5, nullptr},
        NumberCase{"Undefined", "@", 'i', 0, "Config item [N] undefined (=@)(config[/etc/varnel/config/reader.cfg])"},
        // The text after 12 is "@": undefined, not 12.
        NumberCase{"NumberFollowedByAt", "12@", 'i', 0,
                   "Config item [N] undefined (=@)(config[/etc/varnel/config/reader.cfg])"},
        NumberCase{"HexUndefined", "@", 'h', 0, "Config item [N] undefined (=@)(config[/etc/varnel/config/reader.cfg])"},
        NumberCase{"DoubleUndefined", "@", 'd', 0,
                   "Config item [N] undefined (=@)(config[/etc/varnel/config/reader.cfg])"},
        NumberCase{"NoDigits", "abc", 'i', 0, "Invalid config value [N=abc](config[/etc/varnel/config/reader.cfg])"}),
    [](const ::testing::TestParamInfo<NumberCase>& param) { return std::string(param.param.name); });

TEST(KConfigReader, DefaultsWarnOnlyForMissingKeys)
{
    logtest::WriteFile(Path, "U=@\nB=TRUE\nY=yes\nO=1\n");
    struct Recorder : KConfigReader {
        std::vector<std::string> warnings;
        void Warning(const char* text) override { warnings.push_back(text); }
    } reader;
    reader.LoadFile(Path, false);
    EXPECT_EQ(reader.GetIntDef("U", 7), 7);
    EXPECT_TRUE(reader.warnings.empty());
    EXPECT_EQ(reader.GetIntDef("Missing", 7), 7);
    EXPECT_EQ(reader.GetStringDef("S", "dflt"), "dflt");
    EXPECT_FALSE(reader.GetBoolDef("Z", false));
    EXPECT_TRUE(reader.GetBool("B"));
    EXPECT_FALSE(reader.GetBool("Y"));
    EXPECT_FALSE(reader.GetBool("O"));
    ASSERT_EQ(reader.warnings.size(), 3u);
    EXPECT_EQ(reader.warnings[0], "Default value (7) used for configuration [/etc/varnel/config/reader.cfg][Missing]");
    EXPECT_EQ(reader.warnings[1],
              "Default value (\"dflt\") used for configuration [/etc/varnel/config/reader.cfg][S]");
    EXPECT_EQ(reader.warnings[2], "Default value (false) used for configuration [/etc/varnel/config/reader.cfg][Z]");
}

TEST(KConfigReader, FieldLists)
{
    logtest::WriteFile(Path, "L=10, 20,,@30,x\n");
    KConfigReader reader;
    reader.LoadFile(Path, false);
    char field[256];
    ASSERT_TRUE(reader.GetStringAtPos("L", field, 1));
    EXPECT_STREQ(field, " 20");
    EXPECT_FALSE(reader.GetStringAtPos("L", field, 2)); // empty field
    EXPECT_FALSE(reader.GetStringAtPos("L", field, 9));
    EXPECT_FALSE(reader.GetStringAtPos("Missing", field, 0));
    EXPECT_TRUE(reader.IsContained("L", 20));
    EXPECT_FALSE(reader.IsContained("L", 30)); // "@30" does not count
    EXPECT_FALSE(reader.IsContained("Missing", 10));
    KConfigReader fields;
    reader.GetFieldList("L", &fields);
    EXPECT_EQ(fields.Count(), 5u);
    EXPECT_TRUE(fields.ValueExists("20"));
}

TEST(KConfigReader, SaveFileDropsEmptyValuesAndKeepsMarkers)
{
    logtest::WriteFile(Path, ">marker\nA=1\nEmpty=\nNoEquals\n");
    KConfigReader reader;
    reader.LoadFile(Path, false);
    reader.SetValue("a", "2");
    reader.SetValue("New", "x");
    reader.SaveFile();
    EXPECT_EQ(logtest::ReadFile(Path), ">marker\nA=2\nNew=x\n");
}

} // namespace
