#pragma once
// A generated board file: CR LF text followed by the big-endian CRC-32 of that text.
// The text goes to a temporary file in the same directory, which replaces the target only
// once it is complete, so a board reading the target never sees a partly written file.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "Basekit/kstring.h"

class KCRCFileWriter {
public:
    // Throws basekit::KException "Error opening file %s" when the file cannot be created.
    explicit KCRCFileWriter(const kstring& path);
    // Appends the trailer and moves the file into place (also when leaving scope during an
    // exception), unless Discard was called or a write failed.
    ~KCRCFileWriter();
    KCRCFileWriter(const KCRCFileWriter&) = delete;
    KCRCFileWriter& operator=(const KCRCFileWriter&) = delete;

    // Writes text with every line feed turned into CR LF; returns the bytes written.
    size_t Write(const kstring& text);
    // Drops everything written: the target keeps its previous content.
    void Discard();

    // Reflected CRC-32 table (polynomial 0xEDB88320), filled on first construction.
    static uint32_t CRCTable[256];

private:
    FILE* File = nullptr;
    uint32_t CRC = 0xFFFFFFFFu;
    kstring Path;
    kstring TempPath;
    bool Failed = false;
};
