#include "Tools/TAVO/KReloadable.h"

#include "Basekit/KHostSystem.h"
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

kstring KReloadable::PathOf(const kstring& fileName, const kstring& directory)
{
    if (!directory.empty())
        return fstring("%s/%s.yaml", directory.c_str(), fileName.c_str());
    return fstring("%s/config/%s.yaml", KHostSystem::GetWorkDirectory(), fileName.c_str());
}

} // namespace config
