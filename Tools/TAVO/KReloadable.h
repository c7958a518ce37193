#pragma once
// Base of every configuration object: names the YAML file and document it comes from
// and registers with the reloader for the whole of its life.
#include <memory>

#include "Basekit/kstring.h"

namespace YAML {
class Node;
}

namespace config {

class KReloadable {
public:
    // missingDocumentPolicy 0: a file without the document is an error; 1: load from an empty node.
    KReloadable(const kstring& fileName, const kstring& documentName, int missingDocumentPolicy,
                const kstring& directory = kstring());
    virtual bool LoadConfig(const YAML::Node& node) = 0;
    // A new default-constructed object of the same class (registered like any other).
    virtual std::unique_ptr<KReloadable> CloneForValidation() const = 0;
    // Cross-field checks that throw on error.
    virtual void AdditionalValidations() {}
    virtual ~KReloadable();

    KReloadable(const KReloadable&) = delete;
    KReloadable& operator=(const KReloadable&) = delete;

    const kstring& FileName() const { return File; }
    const kstring& DocumentName() const { return Document; }
    int MissingDocumentPolicy() const { return MissingPolicy; }
    const kstring& Directory() const { return Dir; }
    // The file it is read from: <directory>/<file>.yaml, by default in the work directory's config/.
    kstring Path() const { return PathOf(File, Dir); }
    static kstring PathOf(const kstring& fileName, const kstring& directory = kstring());

private:
    kstring File;
    kstring Document;
    int MissingPolicy;
    kstring Dir;
};

} // namespace config
