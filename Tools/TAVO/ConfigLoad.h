#pragma once
// Typed loading of YAML configuration values: one key with a default and a standard
// message when it is missing, string maps and lists, positions and port checks.
// The only header outside the configuration framework's sources that includes yaml-cpp;
// configuration classes include it from their .cpp files only.
#include <istream>
#include <list>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include <yaml-cpp/yaml.h>

#include "Basekit/kstring.h"

namespace config {

// The text of a default value in the messages: decimal numbers and enumerators,
// "1"/"0" for bools, nothing for the empty string literal.
template <class T>
std::string to_string(const T& value)
{
    std::ostringstream text;
    text << std::fixed << value;
    return text.str();
}

// "line=%d,col=%d", 1-based.
kstring FormatMark(const YAML::Mark& mark);

// Accepts 1..65535; otherwise throws KTemplateException<KReloadable>.
void ValidatePort(unsigned int port, const kstring& name);

// The value of the entry whose key is the scalar `key` (exact, case-sensitive), without
// inserting anything; none when the node is not a map or has no such entry.
std::optional<YAML::Node> FindValue(const YAML::Node& map, const char* key);
// The key node of that entry (for its position).
std::optional<YAML::Node> FindKey(const YAML::Node& map, const char* key);

// The object's node in a YAML stream: the value of the top-level key `document` in the first
// document that has it, or the first document when `document` is empty; none when no
// document matches. Documents are read in order and the search stops at the match, so a
// syntax error after it does not count; one before it or in it throws its YAML::Exception.
std::optional<YAML::Node> FindDocument(std::istream& stream, const std::string& document);

// One scalar node. Strings: the null scalar ("~", empty) gives the empty text. Numbers and
// bools use yaml-cpp's conversions. A node that does not convert throws a YAML::Exception.
void Load(const YAML::Node& node, std::string& value);
void Load(const YAML::Node& node, kstring& value);
void Load(const YAML::Node& node, unsigned int& value);
void Load(const YAML::Node& node, bool& value);

// Writes the standard trace message for a key that was missing or did not convert:
// on the configuration log when required, on the CFG-OPT logger otherwise.
void ReportDefault(const YAML::Node& map, const char* key, const std::string& defaultText,
                   bool required);
// "Could not load '%s'(%s), no default." for a section or key that keeps its old value.
void ReportNoDefault(const YAML::Node& parent, const char* key);

// While one is alive, the missing-key messages of its thread are not written: the in-place
// load of an object reads the node its validation clone has just read and reported.
class KMutedMessages {
public:
    KMutedMessages();
    ~KMutedMessages();
    KMutedMessages(const KMutedMessages&) = delete;
    KMutedMessages& operator=(const KMutedMessages&) = delete;

private:
    bool WasMuted;
};

// Throws a YAML::Exception at the node's position unless it is a map (or null, read as an
// empty map): a wrong node kind fails the load instead of being read as nothing.
void ExpectMap(const YAML::Node& node);
// The same for a sequence (null reads as an empty sequence).
void ExpectSequence(const YAML::Node& node);

// One key of a map with a default: true when the key was found and converted; otherwise
// value takes def, one trace message is written and the result is false.
template <class T, class D>
bool Load(const YAML::Node& map, const char* key, T& value, const D& def, bool required)
{
    if (std::optional<YAML::Node> found = FindValue(map, key)) {
        T read{};
        try {
            Load(*found, read);
            value = std::move(read);
            return true;
        } catch (const YAML::Exception&) {
            // a value that does not convert counts as not found
        }
    }
    value = T(def);
    ReportDefault(map, key, to_string(def), required);
    return false;
}

// A sequence of maps of strings into out (replaced as a whole; a later duplicate key wins).
// The keyed form leaves out unchanged and returns false when the key is missing.
bool LoadMap(const YAML::Node& map, const char* key, std::map<kstring, kstring>& out);
bool LoadMap(const YAML::Node& node, std::map<kstring, kstring>& out);

// A sequence of strings into out, replacing it unless append is set.
// The keyed form leaves out unchanged and returns false when the key is missing.
bool LoadList(const YAML::Node& map, const char* key, std::list<kstring>& out, bool append);
bool LoadList(const YAML::Node& node, std::list<kstring>& out, bool append);

} // namespace config
