#include "Tools/TAVO/ConfigLoad.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <sstream>
#include <utility>
#include <vector>

#include <yaml-cpp/eventhandler.h>

#include "Basekit/KBaseException.h"
#include "Tools/TAVO/KConfLog.h"
#include "Tools/TAVO/KReloadable.h"

namespace config {

namespace {

thread_local bool Muted = false;

// Sees only the parser's events: where each document starts. yaml-cpp 0.7 stops consuming
// input at some malformed text (a stray "," where a document starts) and then returns the
// same empty document for ever, so YAML::LoadAll would never end and never stop allocating:
// a document that does not start further on than the one before it is a failure.
class DocumentStarts : public YAML::EventHandler {
public:
    void OnDocumentStart(const YAML::Mark& mark) override
    {
        if (!Starts.empty() && mark.pos <= Starts.back())
            throw YAML::ParserException(mark, "no progress parsing the next document");
        Starts.push_back(mark.pos);
    }
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark&, YAML::anchor_t) override {}
    void OnAlias(const YAML::Mark&, YAML::anchor_t) override {}
    void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t, const std::string&) override {}
    void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override
    {
    }
    void OnSequenceEnd() override {}
    void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {}
    void OnMapEnd() override {}

    std::vector<int> Starts; // stream positions, in document order
};

// Parses the events of every document; returns how many were complete before the first
// failure, which is kept in failure.
std::size_t ParseEvents(const std::string& text, DocumentStarts& starts, std::exception_ptr& failure)
{
    std::istringstream events(text);
    YAML::Parser parser(events);
    std::size_t complete = 0;
    try {
        while (parser.HandleNextDocument(starts))
            ++complete;
    } catch (const YAML::Exception&) {
        failure = std::current_exception();
    }
    return complete;
}

// The nodes of the documents that parsed, with their positions in the whole text.
// yaml-cpp 0.7 builds nodes only for a whole stream or its first document, so the parser's
// own document starts (not a search for "---" lines, which block scalars may hold) give the
// end of the text that holds only complete documents, and that text is loaded.
std::vector<YAML::Node> CompleteDocuments(const std::string& text, std::exception_ptr& failure)
{
    DocumentStarts starts;
    std::size_t complete = ParseEvents(text, starts, failure);
    if (!failure)
        return YAML::LoadAll(text);
    std::size_t end = 0;
    if (starts.Starts.size() > complete) {
        end = static_cast<std::size_t>(starts.Starts[complete]);
    } else if (complete > 0) {
        // The failing document never started: the parser failed while reading past the last
        // complete one, which is then not trusted either.
        --complete;
        end = static_cast<std::size_t>(starts.Starts[complete]);
    }
    if (complete == 0)
        return {};
    const std::string head = text.substr(0, end);
    std::exception_ptr again;
    DocumentStarts headStarts;
    if (ParseEvents(head, headStarts, again) != complete || again)
        return {}; // the head does not read the same on its own: only the failure counts
    std::vector<YAML::Node> documents = YAML::LoadAll(head);
    documents.resize(std::min(documents.size(), complete));
    return documents;
}

} // namespace

KMutedMessages::KMutedMessages() : WasMuted(Muted)
{
    Muted = true;
}

KMutedMessages::~KMutedMessages()
{
    Muted = WasMuted;
}

kstring FormatMark(const YAML::Mark& mark)
{
    return fstring("line=%d,col=%d", mark.line + 1, mark.column + 1);
}

void ValidatePort(unsigned int port, const kstring& name)
{
    // %u: a value read from an unsigned field is shown as read, never as a negative number.
    if (port < 1 || port > 65535)
        throw KTemplateException<KReloadable>("%s value(%u) is not a valid port (1-65535)", name.c_str(),
                                              port);
}

namespace {

// Iterating instead of operator[]: a lookup must neither insert the key nor throw for keys
// that are not scalars. The key node itself carries the position the checker reports.
std::optional<std::pair<YAML::Node, YAML::Node>> FindEntry(const YAML::Node& map, const char* key)
{
    if (!map.IsMap())
        return std::nullopt;
    for (YAML::const_iterator entry = map.begin(); entry != map.end(); ++entry) {
        if (entry->first.IsScalar() && entry->first.Scalar() == key)
            return std::make_pair(entry->first, entry->second);
    }
    return std::nullopt;
}

} // namespace

std::optional<YAML::Node> FindValue(const YAML::Node& map, const char* key)
{
    const auto entry = FindEntry(map, key);
    return entry ? std::optional<YAML::Node>(entry->second) : std::nullopt;
}

std::optional<YAML::Node> FindKey(const YAML::Node& map, const char* key)
{
    const auto entry = FindEntry(map, key);
    return entry ? std::optional<YAML::Node>(entry->first) : std::nullopt;
}

std::optional<YAML::Node> FindDocument(std::istream& stream, const std::string& document)
{
    const std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    std::exception_ptr failure;
    for (const YAML::Node& candidate : CompleteDocuments(text, failure)) {
        if (document.empty())
            return candidate;
        if (std::optional<YAML::Node> value = FindValue(candidate, document.c_str()))
            return value;
    }
    if (failure)
        std::rethrow_exception(failure);
    return std::nullopt;
}

void Load(const YAML::Node& node, std::string& value)
{
    if (node.IsNull())
        value.clear();
    else if (node.IsScalar())
        value = node.Scalar();
    else
        throw YAML::TypedBadConversion<std::string>(node.Mark());
}

void Load(const YAML::Node& node, kstring& value)
{
    Load(node, static_cast<std::string&>(value));
}

void Load(const YAML::Node& node, unsigned int& value)
{
    value = node.as<unsigned int>();
}

void Load(const YAML::Node& node, bool& value)
{
    value = node.as<bool>();
}

void ReportDefault(const YAML::Node& map, const char* key, const std::string& defaultText, bool required)
{
    if (Muted)
        return;
    kstring position = FormatMark(map.Mark());
    if (required)
        KConfLog::ConfigLog.Trace("Could not load '%s'(%s) using default value (%s).", key, position.c_str(),
                                  defaultText.c_str());
    else
        KConfLog::OptionalTrace("Could not load optional config '%s'(%s), using default value (%s)", key,
                                position.c_str(), defaultText.c_str());
}

void ReportNoDefault(const YAML::Node& parent, const char* key)
{
    if (!Muted)
        KConfLog::ConfigLog.Trace("Could not load '%s'(%s), no default.", key, FormatMark(parent.Mark()).c_str());
}

void ExpectMap(const YAML::Node& node)
{
    if (!node.IsNull() && !node.IsMap())
        throw YAML::RepresentationException(node.Mark(), "a map was expected here");
}

void ExpectSequence(const YAML::Node& node)
{
    if (!node.IsNull() && !node.IsSequence())
        throw YAML::RepresentationException(node.Mark(), "a sequence was expected here");
}

bool LoadMap(const YAML::Node& map, const char* key, std::map<kstring, kstring>& out)
{
    std::optional<YAML::Node> node = FindValue(map, key);
    if (!node) {
        if (!Muted)
            KConfLog::ConfigLog.Trace("Could not load map '%s'(%s).", key, FormatMark(map.Mark()).c_str());
        return false;
    }
    return LoadMap(*node, out);
}

bool LoadMap(const YAML::Node& node, std::map<kstring, kstring>& out)
{
    ExpectSequence(node);
    // Built aside so that a failing element leaves out as it was.
    std::map<kstring, kstring> loaded;
    for (const YAML::Node& element : node) {
        ExpectMap(element);
        for (YAML::const_iterator pair = element.begin(); pair != element.end(); ++pair) {
            kstring name, value;
            Load(pair->first, name);
            Load(pair->second, value);
            loaded[name] = value;
        }
    }
    out.swap(loaded);
    return true;
}

bool LoadList(const YAML::Node& map, const char* key, std::list<kstring>& out, bool append)
{
    std::optional<YAML::Node> node = FindValue(map, key);
    if (!node) {
        if (!Muted)
            KConfLog::ConfigLog.Trace("Could not load list '%s'(%s).", key, FormatMark(map.Mark()).c_str());
        return false;
    }
    return LoadList(*node, out, append);
}

bool LoadList(const YAML::Node& node, std::list<kstring>& out, bool append)
{
    ExpectSequence(node);
    std::list<kstring> loaded;
    for (const YAML::Node& element : node) {
        kstring value;
        Load(element, value);
        loaded.push_back(value);
    }
    if (append)
        out.splice(out.end(), loaded);
    else
        out.swap(loaded);
    return true;
}

} // namespace config
