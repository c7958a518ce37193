#include "Basekit/KConfigReader.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>

namespace {

// Lines are read in chunks of at most 199 characters: a longer line goes on as the next one.
const int LineBufferSize = 200;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
typedef std::unique_ptr<FILE, FileCloser> FilePtr;

// Cuts the line end ("\n" or "\r\n") off in place.
void StripLineEnd(char* line)
{
    size_t length = strlen(line);
    if (length && line[length - 1] == '\n') {
        line[--length] = '\0';
        if (length && line[length - 1] == '\r')
            line[--length] = '\0';
    }
}

bool HasLineEnd(const char* line)
{
    size_t length = strlen(line);
    return length && line[length - 1] == '\n';
}

kstring Trim(const char* text)
{
    const char* begin = text;
    while (*begin && isspace(static_cast<unsigned char>(*begin)))
        ++begin;
    const char* end = begin + strlen(begin);
    while (end > begin && isspace(static_cast<unsigned char>(end[-1])))
        --end;
    return kstring(begin, static_cast<size_t>(end - begin));
}

void CopyCut(char* target, size_t size, const char* source)
{
    snprintf(target, size, "%s", source ? source : "");
}

std::list<kstring> SplitFields(const char* value)
{
    std::list<kstring> fields;
    kstring field;
    for (const char* p = value;; ++p) {
        if (*p == ',' || *p == '\0') {
            fields.push_back(field);
            field.clear();
            if (*p == '\0')
                break;
        } else {
            field += *p;
        }
    }
    return fields;
}

} // namespace

KConfigReader::~KConfigReader()
{
    Items.clear();
}

void KConfigReader::Clear()
{
    Items.clear();
}

void KConfigReader::Warning(const char*) {}

void KConfigReader::vWarning(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    kstring text;
    text.vFormat(format, args);
    va_end(args);
    Warning(text.c_str());
}

kstring KConfigReader::ErrorText(const kstring& message) const
{
    return fstring("%s(config[%s])", message.c_str(), FilePath.c_str());
}

void KConfigReader::AddItem(const char* key, const char* value)
{
    KConfigItem item;
    // Keys longer than the record are cut: no real key is that long, and cutting keeps the
    // rest of the file usable.
    CopyCut(item.Key, sizeof(item.Key), key);
    CopyCut(item.Value, sizeof(item.Value), value);
    Items.push_back(item);
}

void KConfigReader::LoadFile(const kstring& path)
{
    LoadFile(path.c_str(), false);
}

void KConfigReader::LoadFile(const char* path, bool create)
{
    FilePath = kstring(path ? path : "").substr(0, PathSize - 1);
    FilePtr file(fopen(FilePath.c_str(), "r"));
    if (!file) {
        if (!create)
            throw KConfigReaderException(ErrorText("Config file not found"));
        vWarning("File %s not found, trying to create...", FilePath.c_str());
        FilePtr created(fopen(FilePath.c_str(), "a"));
        if (!created)
            throw KConfigReaderException(ErrorText("Config file not found"));
        vWarning("File created successfully");
        return;
    }
    char line[LineBufferSize];
    while (fgets(line, sizeof(line), file.get())) {
        if (line[0] == '#')
            continue;
        StripLineEnd(line);
        if (line[0] == '>') {
            AddItem(line, "");
            continue;
        }
        char* equals = strchr(line, '=');
        if (!equals) {
            AddItem(line, "");
            continue;
        }
        *equals = '\0';
        AddItem(line, equals + 1);
    }
}

void KConfigReader::LoadSection(const char* path, const char* section)
{
    FilePtr file(fopen(path ? path : "", "r"));
    Clear();
    FilePath = kstring(path ? path : "").substr(0, PathSize - 1);
    if (!file)
        throw KConfigReaderException(ErrorText("Config file not found"));

    bool inSection = false;
    char line[LineBufferSize];
    for (;;) {
        if (!fgets(line, sizeof(line), file.get())) {
            if (ferror(file.get()))
                throw KConfigReaderException(
                    ErrorText(fstring("Error reading configuration file (errno=%d)", errno)));
            break;
        }
        bool complete = HasLineEnd(line);
        StripLineEnd(line);
        if (line[0] == '\0' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            size_t length = strlen(line);
            // A chunk of an overlong line has no line end; its ']' may still be ahead.
            if (line[length - 1] != ']' || (!complete && !feof(file.get())))
                throw KConfigReaderException(ErrorText(fstring("Invalid section [%s]", line)));
            if (inSection)
                return;
            kstring name(line + 1, length - 2);
            inSection = strcasecmp(name.c_str(), section ? section : "") == 0;
            continue;
        }
        if (!inSection)
            continue;
        char* equals = strchr(line, '=');
        if (!equals) {
            AddItem(line, "");
            continue;
        }
        *equals = '\0';
        AddItem(line, Trim(equals + 1).c_str());
    }
    if (!inSection)
        throw KConfigReaderException(ErrorText(fstring("Section [%s] not found", section ? section : "")));
}

void KConfigReader::SaveFile()
{
    FilePtr file(fopen(FilePath.c_str(), "w"));
    if (!file)
        throw KConfigReaderException(ErrorText("Could not open file for writing"));
    for (const KConfigItem& item : Items) {
        if (item.Key[0] == '>')
            fprintf(file.get(), "%s\n", item.Key);
        else if (item.Key[0] && item.Value[0])
            fprintf(file.get(), "%s=%s\n", item.Key, item.Value);
    }
}

const KConfigReader::KConfigItem& KConfigReader::Search(const char* key) const
{
    if (key && key[0] != '>') {
        for (const KConfigItem& item : Items) {
            if (item.Key[0] != '>' && strcasecmp(item.Key, key) == 0)
                return item;
        }
    }
    throw KItemNotFoundException(ErrorText(fstring("Config item [%s] not found", key ? key : "")));
}

kstring KConfigReader::GetString(const char* key) const
{
    return Search(key).Value;
}

kstring KConfigReader::GetStringDef(const char* key, const char* defaultValue)
{
    try {
        return GetString(key);
    } catch (const KItemNotFoundException&) {
        vWarning("Default value (\"%s\") used for configuration [%s][%s]", defaultValue ? defaultValue : "",
                 FilePath.c_str(), key ? key : "");
        return defaultValue;
    }
}

long KConfigReader::ParseInteger(const char* key, int base) const
{
    const char* value = Search(key).Value;
    char* end = nullptr;
    errno = 0;
    long number = strtol(value, &end, base);
    if (strcmp(end, "@") == 0)
        throw KValueUndefinedException(ErrorText(fstring("Config item [%s] undefined (=@)", key)));
    if (end == value)
        throw KConfigReaderException(ErrorText(fstring("Invalid config value [%s=%s]", key, value)));
    return number;
}

int KConfigReader::GetInteger(const char* key) const
{
    return static_cast<int>(ParseInteger(key, 10));
}

int KConfigReader::GetHexadecimal(const char* key) const
{
    return static_cast<int>(ParseInteger(key, 16));
}

int KConfigReader::GetIntDef(const char* key, int defaultValue)
{
    try {
        return GetInteger(key);
    } catch (const KItemNotFoundException&) {
        vWarning("Default value (%d) used for configuration [%s][%s]", defaultValue, FilePath.c_str(), key);
    } catch (const KValueUndefinedException&) {
    }
    return defaultValue;
}

int KConfigReader::GetHexDef(const char* key, int defaultValue)
{
    try {
        return GetHexadecimal(key);
    } catch (const KItemNotFoundException&) {
        vWarning("Default value (%d) used for configuration [%s][%s]", defaultValue, FilePath.c_str(), key);
    } catch (const KValueUndefinedException&) {
    }
    return defaultValue;
}

double KConfigReader::GetDouble(const char* key) const
{
    kstring value = Search(key).Value;
    for (char& c : value) {
        if (c == ',')
            c = '.';
    }
    char* end = nullptr;
    double number = strtod(value.c_str(), &end);
    if (strcmp(end, "@") == 0)
        throw KValueUndefinedException(ErrorText(fstring("Config item [%s] undefined (=@)", key)));
    if (end == value.c_str())
        throw KConfigReaderException(
            ErrorText(fstring("Invalid config value [%s=%s]", key, Search(key).Value)));
    return number;
}

double KConfigReader::GetDoubleDef(const char* key, double defaultValue)
{
    try {
        return GetDouble(key);
    } catch (const KItemNotFoundException&) {
        vWarning("Default value (%f) used for configuration [%s][%s]", defaultValue, FilePath.c_str(), key);
    } catch (const KValueUndefinedException&) {
    }
    return defaultValue;
}

bool KConfigReader::GetBool(const char* key) const
{
    return strcasecmp(Search(key).Value, "true") == 0;
}

bool KConfigReader::GetBoolDef(const char* key, bool defaultValue)
{
    try {
        return GetBool(key);
    } catch (const KItemNotFoundException&) {
        vWarning("Default value (%s) used for configuration [%s][%s]", defaultValue ? "true" : "false",
                 FilePath.c_str(), key);
        return defaultValue;
    }
}

bool KConfigReader::GetStringAtPos(const char* key, char* out, int index) const
{
    if (!out || index < 0)
        return false;
    kstring value;
    try {
        value = kstring(Search(key).Value).substr(0, 200);
    } catch (const KItemNotFoundException&) {
        return false;
    }
    int position = 0;
    for (const kstring& field : SplitFields(value.c_str())) {
        if (position++ == index) {
            if (field.empty())
                return false;
            strcpy(out, field.c_str());
            return true;
        }
    }
    return false;
}

bool KConfigReader::IsContained(const char* key, unsigned number) const
{
    const char* value;
    try {
        value = Search(key).Value;
    } catch (const KItemNotFoundException&) {
        return false;
    }
    for (const kstring& raw : SplitFields(value)) {
        kstring field = Trim(raw.c_str());
        if (field.empty() || field[0] == '@')
            continue;
        char* end = nullptr;
        unsigned long parsed = strtoul(field.c_str(), &end, 10);
        if (end != field.c_str() && parsed == number)
            return true;
    }
    return false;
}

void KConfigReader::GetFieldList(const char* key, KConfigReader* out) const
{
    if (!out)
        return;
    for (const kstring& field : SplitFields(Search(key).Value))
        out->AddItem(Trim(field.c_str()).c_str(), "");
}

bool KConfigReader::ValueExists(const char* key)
{
    try {
        Search(key);
        return true;
    } catch (const KItemNotFoundException&) {
        return false;
    } catch (const std::exception& error) {
        vWarning("Error [%s] searching config item [%s]", error.what(), key ? key : "");
        return false;
    }
}

void KConfigReader::SetValue(const char* key, const char* value)
{
    if (!key)
        return;
    for (KConfigItem& item : Items) {
        if (item.Key[0] != '>' && strcasecmp(item.Key, key) == 0) {
            CopyCut(item.Value, sizeof(item.Value), value);
            return;
        }
    }
    AddItem(key, value);
}
