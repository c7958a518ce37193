#include "Tools/TAVO/ConfigLoad.h"

#include "Basekit/KBaseException.h"
#include "Tools/TAVO/KConfLog.h"
#include "Tools/TAVO/KReloadable.h"

namespace config {

namespace {

thread_local bool Muted = false;

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

std::optional<YAML::Node> FindValue(const YAML::Node& map, const char* key)
{
    // Iterating instead of operator[]: a lookup must neither insert the key nor throw
    // for keys that are not scalars.
    if (!map.IsMap())
        return std::nullopt;
    for (YAML::const_iterator entry = map.begin(); entry != map.end(); ++entry) {
        if (entry->first.IsScalar() && entry->first.Scalar() == key)
            return entry->second;
    }
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
