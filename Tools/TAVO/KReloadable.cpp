#include "Tools/TAVO/KReloadable.h"

#include "Tools/TAVO/KConfigReloader.h"

namespace config {

KReloadable::KReloadable(const kstring& fileName, const kstring& documentName, int missingDocumentPolicy,
                         const kstring& directory)
    : File(fileName), Document(documentName), MissingPolicy(missingDocumentPolicy), Dir(directory)
{
    KConfigReloader::Register(this);
}

KReloadable::~KReloadable()
{
    KConfigReloader::Unregister(this);
}

} // namespace config
