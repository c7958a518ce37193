// The loading framework: keyed values with defaults and their messages, maps, lists,
// positions, port checks, loading one object from its file, and the per-class singleton.
#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "Basekit/KBaseException.h"
#include "Tools/TAVO/ConfigLoad.h"
#include "Tools/TAVO/KConfig.h"
#include "Tools/TAVO/KConfigLoadError.h"
#include "Tools/TAVO/KConfigRules.h"
#include "tests/TAVO/ConfigTestSupport.h"

using configtest::LogWatch;
using configtest::WriteConfig;
using Lines = std::vector<std::string>;

namespace {

enum Ports { RxDefault = 14102 };

// One number under "Value"; validation rejects 13, and 99 makes the load throw a non-standard
// exception.
class ProbeConfig : public config::KReloadable {
public:
    explicit ProbeConfig(const char* file = "probe", int policy = 0, const char* document = "probe")
        : KReloadable(file, document, policy)
    {
    }
    bool LoadConfig(const YAML::Node& node) override
    {
        config::Load(node, "Value", value, 1, true);
        if (value == 99)
            throw 99;
        return true;
    }
    std::unique_ptr<KReloadable> CloneForValidation() const override { return std::make_unique<ProbeConfig>(); }
    void AdditionalValidations() override
    {
        if (value == 13)
            throw std::runtime_error("13 is unlucky");
    }
    unsigned value = 5;
};

struct KeyCase {
    const char* yaml;
    char kind; // 'u' unsigned int with default 14102, 'b' bool, 's' string with default ""
    bool def;  // bool default
    bool required;
    const char* expected; // the value read, as text
    const char* message;  // the one message written, or nullptr
};
std::ostream& operator<<(std::ostream& os, const KeyCase& c) { return os << c.yaml; }

class KeyedLoad : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyedLoad, TakesValueOrDefaultWithOneMessage)
{
    const KeyCase& c = GetParam();
    const YAML::Node map = YAML::Load(c.yaml);
    LogWatch log;
    std::string read;
    bool found;
    if (c.kind == 'u') {
        unsigned value = 7;
        found = config::Load(map, "Key", value, RxDefault, c.required);
        read = std::to_string(value);
    } else if (c.kind == 'b') {
        bool value = !c.def;
        found = config::Load(map, "Key", value, c.def, c.required);
        read = value ? "1" : "0";
    } else {
        std::string value = "old";
        found = config::Load(map, "Key", value, "", c.required);
        read = value;
    }
    EXPECT_EQ(read, c.expected);
    EXPECT_EQ(found, c.message == nullptr);
    EXPECT_EQ(log.Messages(), c.message ? Lines{c.message} : Lines{});
}

const char* const RxMissing = "T|CONFIG  | Could not load 'Key'(line=1,col=1) using default value (14102).";

INSTANTIATE_TEST_SUITE_P(Cases, KeyedLoad, ::testing::Values(
    KeyCase{"Key: 70000", 'u', false, true, "70000", nullptr},   // no range check while loading
    KeyCase{"Key: -1", 'u', false, true, "14102", RxMissing},    // not an unsigned number
    KeyCase{"Key: 99999999999", 'u', false, true, "14102", RxMissing}, // beyond 32 bits
    KeyCase{"key: 1", 'u', false, true, "14102", RxMissing},     // keys are case-sensitive
    KeyCase{"Other: 1", 'u', false, false, "14102",
            "T|CFG-OPT | Could not load optional config 'Key'(line=1,col=1), using default value (14102)"},
    KeyCase{"Key: yes", 'b', false, true, "1", nullptr},
    KeyCase{"Key: maybe", 'b', false, true, "0",
            "T|CONFIG  | Could not load 'Key'(line=1,col=1) using default value (0)."},
    KeyCase{"Other: 1", 'b', true, true, "1",
            "T|CONFIG  | Could not load 'Key'(line=1,col=1) using default value (1)."},
    KeyCase{"Key: ~", 's', false, true, "", nullptr},            // the null scalar is the empty text
    KeyCase{"Key: '~'", 's', false, true, "~", nullptr},
    KeyCase{"Key: {a: b}", 's', false, true, "",
            "T|CONFIG  | Could not load 'Key'(line=1,col=1) using default value ()."},
    KeyCase{"- Key: 1", 's', false, true, "",                     // a sequence has no keys
            "T|CONFIG  | Could not load 'Key'(line=1,col=1) using default value ()."}));

TEST(ConfigLoad, MapKeepsLastDuplicateAndMissingKeyKeepsOldMap)
{
    const YAML::Node node = YAML::Load("Map:\n  - a: x\n  - b: ~\n  - a: y\n");
    std::map<kstring, kstring> out{{"old", "1"}};
    LogWatch log;
    EXPECT_TRUE(config::LoadMap(node, "Map", out));
    EXPECT_EQ(out, (std::map<kstring, kstring>{{"a", "y"}, {"b", ""}}));
    EXPECT_FALSE(config::LoadMap(node, "Other", out));
    EXPECT_EQ(out.size(), 2u);
    EXPECT_EQ(log.Messages(), Lines{"T|CONFIG  | Could not load map 'Other'(line=1,col=1)."});
    // a plain map is not a sequence of maps: the load fails and out stays as it was
    EXPECT_THROW(config::LoadMap(YAML::Load("Map: {a: b}"), "Map", out), YAML::Exception);
    EXPECT_EQ(out.size(), 2u);
}

TEST(ConfigLoad, ListReplacesOrAppendsAndMissingKeyKeepsOldList)
{
    const YAML::Node node = YAML::Load("List: [a, ~, c]");
    std::list<kstring> out{"old"};
    LogWatch log;
    EXPECT_TRUE(config::LoadList(node, "List", out, true));
    EXPECT_EQ(out, (std::list<kstring>{"old", "a", "", "c"}));
    EXPECT_TRUE(config::LoadList(node, "List", out, false));
    EXPECT_EQ(out, (std::list<kstring>{"a", "", "c"}));
    EXPECT_FALSE(config::LoadList(node, "Other", out, false));
    EXPECT_EQ(out.size(), 3u);
    EXPECT_EQ(log.Messages(), Lines{"T|CONFIG  | Could not load list 'Other'(line=1,col=1)."});
    EXPECT_THROW(config::LoadList(YAML::Load("List: [[a]]"), "List", out, false), YAML::Exception);
    EXPECT_EQ(out.size(), 3u);
}

// The rules the daemon applies and the configuration checker reports by.
TEST(ConfigRules, BoardTypesAndFirmwareNames)
{
    // only the first three characters count, in any case
    for (const char* board : {"NDX", "ndx", "NdX-E1"})
        EXPECT_TRUE(KConfigRules::IsNdxType(board)) << board;
    for (const char* other : {"ND", "XNDX", ""})
        EXPECT_FALSE(KConfigRules::IsNdxType(other)) << other;

    const struct {
        std::string name;
        bool fits;   // into the boot reply's 128-byte file field with its NUL
        bool leaves; // may reach outside the firmware directory
    } names[] = {{std::string(127, 'f'), true, false},
                 {std::string(128, 'f'), false, false},
                 {"dir/./fw.bin", true, false},
                 {"../fw.bin", true, true},
                 {"fw..bin", true, true}}; // anywhere in the name, not only as a component
    for (const auto& n : names) {
        EXPECT_EQ(KConfigRules::FirmwareNameFits(n.name), n.fits) << n.name;
        EXPECT_EQ(KConfigRules::MayLeaveFirmwareDirectory(n.name), n.leaves) << n.name;
    }
}

struct DocumentCase {
    const char* yaml;
    const char* document;
    int policy;
    unsigned expected;
};
std::ostream& operator<<(std::ostream& os, const DocumentCase& c) { return os << c.yaml; }

class DocumentWalk : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(DocumentWalk, FirstMatchingDocumentIsLoaded)
{
    const DocumentCase& c = GetParam();
    WriteConfig("probe", c.yaml);
    ProbeConfig probe("probe", c.policy, c.document);
    config::KConfigReloader::Reload(probe, false);
    EXPECT_EQ(probe.value, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, DocumentWalk, ::testing::Values(
    // a document that is not a map is skipped; the first match ends the search
    DocumentCase{"- a\n---\nprobe: {Value: 7}\n---\nprobe: {Value: 8}\n", "probe", 0, 7},
    DocumentCase{"Probe: {Value: 9}\nprobe: {Value: 4}\n", "probe", 0, 4}, // exact case
    DocumentCase{"other: {Value: 9}\n", "probe", 1, 1},  // missing document allowed: defaults
    DocumentCase{"Value: 6\n---\nValue: 2\n", "", 0, 6}, // no document name: the first document
    // documents are read one at a time: a broken one after the match does not count
    DocumentCase{"probe: {Value: 7}\n---\nprobe: [\n", "probe", 0, 7},
    DocumentCase{"other: {Value: 9}\n---\nprobe: {Value: 7}\n...\n---\n, a\n", "probe", 0, 7},
    // a "---" inside a block scalar is text, not a document boundary
    DocumentCase{"text: |\n  ---\n  probe: {Value: 2}\nprobe: {Value: 3}\n---\n[\n", "probe", 0, 3}));

struct FailureCase {
    const char* file;
    const char* yaml; // nullptr: no file
    const char* error;
    int line = 0; // the position the exception carries, 0 for none
    int column = 0;
};
std::ostream& operator<<(std::ostream& os, const FailureCase& c) { return os << (c.yaml ? c.yaml : "(no file)"); }

class LoadFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(LoadFailure, WarnsThrowsAndKeepsTheObject)
{
    const FailureCase& c = GetParam();
    if (c.yaml)
        WriteConfig(c.file, c.yaml);
    else
        configtest::RemoveConfig(c.file);
    ProbeConfig probe(c.file);
    LogWatch log;
    try {
        config::KConfigReloader::Reload(probe, false);
        ADD_FAILURE() << "loaded";
    } catch (const config::KConfigLoadError& e) {
        EXPECT_STREQ(e.what(), c.error);
        EXPECT_EQ(e.GetPath(), std::string("/etc/varnel//config/") + c.file + ".yaml");
        EXPECT_EQ(e.GetLine(), c.line);
        EXPECT_EQ(e.GetColumn(), c.column);
    }
    EXPECT_EQ(probe.value, 5u);
    EXPECT_EQ(log.Messages(), Lines{std::string("W|CONFIG  | ") + c.error});
}

INSTANTIATE_TEST_SUITE_P(Cases, LoadFailure, ::testing::Values(
    FailureCase{"probe", nullptr, "Could not open file[/etc/varnel//config/probe.yaml](probe.yaml:probe)"},
    // a '%' in the texts is carried, not expanded
    FailureCase{"p%sq", nullptr, "Could not open file[/etc/varnel//config/p%sq.yaml](p%sq.yaml:probe)"},
    FailureCase{"probe", "other: 1\n", "Could not find document 'probe' in file 'probe.yaml'(probe.yaml:probe)"},
    FailureCase{"probe", "", "Could not find document 'probe' in file 'probe.yaml'(probe.yaml:probe)"},
    FailureCase{"probe", "probe:\n  Value: 13\n", "13 is unlucky(probe.yaml:probe)"},
    FailureCase{"probe", "probe:\n  Value: [1,\n",
                "Failure loading configuration from file[probe.yaml:probe(line=3,col=1)]msg[end of sequence flow "
                "not found]", 3, 1},
    // a broken document before the one that holds the object hides it
    FailureCase{"probe", "other: [1,\n---\nprobe: {Value: 7}\n",
                "Failure loading configuration from file[probe.yaml:probe(line=2,col=1)]msg[end of sequence flow "
                "not found]", 2, 1}));

TEST(ConfigLoad, ForeignExceptionPassesAndReleasesTheLock)
{
    WriteConfig("probe", "probe: {Value: 99}\n");
    ProbeConfig probe;
    EXPECT_THROW(config::KConfigReloader::Reload(probe, false), int);
    EXPECT_EQ(probe.value, 5u);
    // another thread can take the reloader mutex
    auto other = std::async(std::launch::async, [] { basekit::KLockGuard guard(config::KConfigReloader::Mutex); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

// Two singletons of the same class.
using ProbeSingleton = config::KConfig<ProbeConfig, 0>;
using OtherProbeSingleton = config::KConfig<ProbeConfig, 1>;

TEST(ConfigLoad, InstanceLoadsOnceAndReloadsOnRequest)
{
    WriteConfig("probe", "probe: {Value: 7}\n");
    ProbeConfig* probe = ProbeSingleton::instance();
    EXPECT_EQ(probe->value, 7u);
    WriteConfig("probe", "probe: {Value: 8}\n");
    EXPECT_EQ(ProbeSingleton::instance(), probe);
    EXPECT_EQ(probe->value, 7u);
    EXPECT_EQ(ProbeSingleton::instance(true)->value, 8u);
}

TEST(ConfigLoad, FailedFirstLoadKeepsTheCreatedObject)
{
    configtest::RemoveConfig("probe");
    EXPECT_THROW(OtherProbeSingleton::instance(), KTemplateException<config::KReloadable>);
    ProbeConfig* probe = OtherProbeSingleton::instance();
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe->value, 5u);
}

} // namespace
