#pragma once
// Reads small "key=value" files with [Section] lines (klog.cfg) and answers typed lookups,
// with or without defaults; values can be changed and the file written back.
#include <cstdarg>
#include <list>

#include "Basekit/KBaseException.h"
#include "Basekit/kstring.h"

class KConfigReader;

// Every reader error: the message followed directly by "(config[<path>])".
typedef KTemplateException<KConfigReader> KConfigReaderException;

class KItemNotFoundException : public KConfigReaderException {
public:
    explicit KItemNotFoundException(const kstring& text) : KConfigReaderException(text) {}
};

class KValueUndefinedException : public KConfigReaderException {
public:
    explicit KValueUndefinedException(const kstring& text) : KConfigReaderException(text) {}
};

class KConfigReader {
public:
    enum { KeySize = 100, ValueSize = 100, PathSize = 256 };
    // One line of the file: a key=value item or a '>' section marker.
    struct KConfigItem {
        char Key[KeySize];
        char Value[ValueSize];
    };

    KConfigReader() = default;
    virtual void Clear();
    virtual ~KConfigReader();
    KConfigReader(const KConfigReader&) = delete;
    KConfigReader& operator=(const KConfigReader&) = delete;

    // Adds every line of the file to the items (the list is not cleared first).
    virtual void LoadFile(const kstring& path);
    virtual void LoadFile(const char* path, bool create);
    // Replaces the items with those of the first section of that name.
    virtual void LoadSection(const char* path, const char* section);
    // Rewrites the file from the items; items with an empty value are dropped.
    virtual void SaveFile();
    // Receives the reader's warnings; the base reader discards them.
    virtual void Warning(const char* text);
    void vWarning(const char* format, ...) __attribute__((format(printf, 2, 3)));

    const KConfigItem& Search(const char* key) const;
    kstring GetString(const char* key) const;
    kstring GetStringDef(const char* key, const char* defaultValue);
    int GetInteger(const char* key) const;
    int GetHexadecimal(const char* key) const;
    int GetIntDef(const char* key, int defaultValue);
    int GetHexDef(const char* key, int defaultValue);
    double GetDouble(const char* key) const;
    double GetDoubleDef(const char* key, double defaultValue);
    bool GetBool(const char* key) const;
    bool GetBoolDef(const char* key, bool defaultValue);
    bool GetStringAtPos(const char* key, char* out, int index) const;
    bool IsContained(const char* key, unsigned number) const;
    void GetFieldList(const char* key, KConfigReader* out) const;
    bool ValueExists(const char* key);
    void SetValue(const char* key, const char* value);

    const kstring& Path() const { return FilePath; }
    size_t Count() const { return Items.size(); }

protected:
    // The text of an error about this file: message + "(config[path])".
    kstring ErrorText(const kstring& message) const;

private:
    long ParseInteger(const char* key, int base) const;
    void AddItem(const char* key, const char* value);

    std::list<KConfigItem> Items; // file order; the first item of a key wins
    kstring FilePath;             // at most PathSize - 1 characters
};
