#pragma once
// The failure of loading one configuration object from its file: the text the daemon logs,
// plus where it happened, so that a tool can point at the place without reading the text.
#include <string>

#include "Basekit/KBaseException.h"
#include "Tools/TAVO/KReloadable.h"

namespace config {

class KConfigLoadError : public KTemplateException<KReloadable> {
public:
    // line and column are 1-based; 0 when the failure has no position in the file (a missing
    // file or document, a value rejected by validation).
    KConfigLoadError(const kstring& text, std::string path, int line, int column)
        : KTemplateException<KReloadable>(text), Path(std::move(path)), Line(line), Column(column)
    {
    }

    const std::string& GetPath() const { return Path; }
    int GetLine() const { return Line; }
    int GetColumn() const { return Column; }

private:
    std::string Path;
    int Line;
    int Column;
};

} // namespace config
