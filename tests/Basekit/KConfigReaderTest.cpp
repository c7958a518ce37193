// Key/value reader, as the logging framework reads klog.cfg: sections and keys, the exact
// error texts it reports, and defaults with their warnings.
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
    } cases[] = {{"[tavo]\nvalue=  true \t\r\n", "Value", "true", false}, // names and keys ignore case
                 {"[TAVO]\nValue=abc", "Value", "abc", false},
                 {"[TAVO]\nA=1\n[TAVO]\nA=2\nB=3\n", "A", "1", false},
                 {"[TAVO]\nA=1\n[TAVO]\nB=3\n", "B", "Config item [B] not found", true}, // only the first
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
    unlink(Path);
    KConfigReader reader;
    EXPECT_EQ(ErrorOf([&] { reader.LoadFile(Path, false); }), "Config file not found" + In);
    EXPECT_EQ(ErrorOf([&] { reader.LoadSection(Path, "TAVO"); }), "Config file not found" + In);
}

TEST(KConfigReader, WholeFileDefaultsWarnOnlyForMissingKeys)
{
    testkit::WriteFile(Path, "U=@\n[TAVO]\nu=8\nB=TRUE\nP=abc\n");
    Recorder reader;
    reader.LoadFile(Path, false);
    EXPECT_EQ(reader.GetIntDef("U", 7), 7); // "@" is undefined: the default, without a warning
    EXPECT_TRUE(reader.warnings.empty());
    EXPECT_EQ(reader.GetIntDef("Missing", 7), 7);
    EXPECT_EQ(reader.GetStringDef("S", "dflt"), "dflt");
    EXPECT_FALSE(reader.GetBoolDef("Z", false));
    EXPECT_TRUE(reader.GetBoolDef("B", false));
    EXPECT_EQ(ErrorOf([&] { reader.GetIntDef("P", 7); }), "Invalid config value [P=abc]" + In); // not a default
    const std::string file = " used for configuration [/etc/varnel/config/reader.cfg]";
    EXPECT_EQ(reader.warnings, (std::vector<std::string>{"Default value (7)" + file + "[Missing]",
                                                         "Default value (\"dflt\")" + file + "[S]",
                                                         "Default value (false)" + file + "[Z]"}));
}

} // namespace
