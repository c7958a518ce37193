// Key/value reader: section and whole-file reading rules, typed getters and their exact
// error texts, defaults, field lists and saving.
#include <gtest/gtest.h>

#include <unistd.h>

#include "Basekit/KConfigReader.h"
#include "tests/support/TestKit.h"

namespace {

const char* const Path = "/etc/varnel/config/reader.cfg";
const std::string In = "(config[/etc/varnel/config/reader.cfg])";

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

struct Recorder : KConfigReader {
    std::vector<std::string> warnings;
    void Warning(const char* text) override { warnings.push_back(text); }
};

TEST(KConfigReader, SectionRulesFindTheValueOrFailWithTheExactText)
{
    const struct {
        const char *file, *key, *expected; // the value, or the exception text with In appended
        bool error;
    } cases[] = {{"[tavo]\nValue=true\n", "Value", "true", false}, // names and keys ignore case
                 {"[TAVO]\nbootp=true\n", "BOOTP", "true", false},
                 {"[TAVO]\nValue=  true \t\n", "Value", "true", false},
                 {"[TAVO]\r\nValue=true\r\n", "Value", "true", false},
                 {"[TAVO]\nValue=abc", "Value", "abc", false},
                 {"[TAVO]\nA=1\n[TAVO]\nA=2\nB=3\n", "A", "1", false},
                 {"[TAVO]\nA=1\n[TAVO]\nB=3\n", "B", "Config item [B] not found", true}, // only the first
                 {"[TAVO]\nA=1\n[Config]\nB=2\n", "B", "Config item [B] not found", true},
                 {"# c\n\n[TAVO]\n# Value=false\n\nValue=true\n", "Value", "true", false},
                 // "Value =true" keeps the blank in the key, so "Value" is not there.
                 {"[TAVO]\nValue =true\n", "Value", "Config item [Value] not found", true},
                 {"[Broken\n[TAVO]\nValue=true\n", "Value", "Invalid section [[Broken]", true},
                 {"[Config]\nA=1\n", "Value", "Section [TAVO] not found", true}};
    for (const auto& c : cases) {
        testkit::WriteFile(Path, c.file);
        KConfigReader reader;
        std::string value;
        const std::string error = ErrorOf([&] {
            reader.LoadSection(Path, "TAVO");
            value = reader.GetString(c.key);
        });
        EXPECT_EQ(c.error ? error : value, c.error ? c.expected + In : c.expected) << c.file << error;
    }
}

TEST(KConfigReader, MissingFileTextsForBothModesAndCreatingIt)
{
    unlink(Path);
    KConfigReader reader;
    EXPECT_EQ(ErrorOf([&] { reader.LoadFile(Path, false); }), "Config file not found" + In);
    EXPECT_EQ(ErrorOf([&] { reader.LoadSection(Path, "TAVO"); }), "Config file not found" + In);
    Recorder creating;
    creating.LoadFile(Path, true);
    EXPECT_TRUE(testkit::Exists(Path));
    EXPECT_EQ(creating.Count(), 0u);
    EXPECT_EQ(creating.warnings, (std::vector<std::string>{
                                     "File /etc/varnel/config/reader.cfg not found, trying to create...",
                                     "File created successfully"}));
}

TEST(KConfigReader, WholeFileFirstOccurrenceWinsKeepsBlanksAndCutsValuesTo99Characters)
{
    testkit::WriteFile(Path, "[KLogger]\nMaxLogFileSize=100\n[TAVO]\nmaxlogfilesize=200\n>marker\nflag\n");
    KConfigReader reader;
    reader.LoadFile(Path, false);
    EXPECT_EQ(reader.GetString("MAXLOGFILESIZE"), "100");
    EXPECT_EQ(reader.GetString("[TAVO]"), "");
    EXPECT_EQ(reader.GetString("flag"), "");
    EXPECT_FALSE(reader.ValueExists(">marker")); // a section marker never answers a lookup
    testkit::WriteFile(Path, "Key= spaced \nLong=" + std::string(150, 'x') + "\n");
    reader.LoadFile(Path, false);
    EXPECT_EQ(reader.GetString("Key"), " spaced ");
    EXPECT_EQ(reader.GetString("Long"), std::string(99, 'x'));
}

TEST(KConfigReader, NumberGettersParseOrRaise)
{
    const std::string undefined = "Config item [N] undefined (=@)" + In;
    const struct {
        const char* value;
        char getter; // 'i' integer, 'h' hexadecimal, 'd' double
        double expected;
        std::string error;
    } cases[] = {{"42", 'i', 42, ""}, {"42kb", 'i', 42, ""}, {"ff", 'h', 255, ""}, {"1,5", 'd', 1.5, ""},
                 {"@", 'i', 0, undefined}, {"12@", 'i', 0, undefined}, // the text after 12 is "@"
                 {"@", 'h', 0, undefined}, {"@", 'd', 0, undefined},
                 {"abc", 'i', 0, "Invalid config value [N=abc]" + In}};
    for (const auto& c : cases) {
        testkit::WriteFile(Path, std::string("N=") + c.value + "\n");
        KConfigReader reader;
        reader.LoadFile(Path, false);
        double got = 0;
        EXPECT_EQ(ErrorOf([&] {
                      got = c.getter == 'i' ? reader.GetInteger("N")
                                            : c.getter == 'h' ? reader.GetHexadecimal("N") : reader.GetDouble("N");
                  }),
                  c.error)
            << c.value << c.getter;
        EXPECT_DOUBLE_EQ(got, c.expected) << c.value << c.getter;
    }
}

TEST(KConfigReader, DefaultsWarnOnlyForMissingKeys)
{
    testkit::WriteFile(Path, "U=@\nB=TRUE\nY=yes\nO=1\n");
    Recorder reader;
    reader.LoadFile(Path, false);
    EXPECT_EQ(reader.GetIntDef("U", 7), 7);
    EXPECT_TRUE(reader.warnings.empty());
    EXPECT_EQ(reader.GetIntDef("Missing", 7), 7);
    EXPECT_EQ(reader.GetStringDef("S", "dflt"), "dflt");
    EXPECT_FALSE(reader.GetBoolDef("Z", false));
    EXPECT_TRUE(reader.GetBool("B"));
    EXPECT_FALSE(reader.GetBool("Y"));
    EXPECT_FALSE(reader.GetBool("O"));
    const std::string file = " used for configuration [/etc/varnel/config/reader.cfg]";
    EXPECT_EQ(reader.warnings, (std::vector<std::string>{"Default value (7)" + file + "[Missing]",
                                                         "Default value (\"dflt\")" + file + "[S]",
                                                         "Default value (false)" + file + "[Z]"}));
}

TEST(KConfigReader, FieldListsAndSavingWithoutEmptyValues)
{
    testkit::WriteFile(Path, "L=10, 20,,@30,x\n");
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

    testkit::WriteFile(Path, ">marker\nA=1\nEmpty=\nNoEquals\n");
    KConfigReader saved;
    saved.LoadFile(Path, false);
    saved.SetValue("a", "2");
    saved.SetValue("New", "x");
    saved.SaveFile();
    EXPECT_EQ(testkit::ReadFile(Path), ">marker\nA=2\nNew=x\n");
}

} // namespace
