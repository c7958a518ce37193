#pragma once
// The key/value reader of klog.cfg: remembers which section it loaded; warnings are dropped.
#include "Basekit/KConfigReader.h"

class KLogConfigReader : public KConfigReader {
public:
    void LoadSection(const char* path, const char* section) override
    {
        SectionName = section ? section : "";
        KConfigReader::LoadSection(path, section);
    }
    const kstring& Section() const { return SectionName; }

private:
    kstring SectionName;
};
