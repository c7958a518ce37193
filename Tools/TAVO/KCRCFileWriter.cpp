#include "Tools/TAVO/KCRCFileWriter.h"

#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "Basekit/KException.h"

uint32_t KCRCFileWriter::CRCTable[256];

namespace {

std::once_flag TableFilled;

void FillTable()
{
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t value = n;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
        KCRCFileWriter::CRCTable[n] = value;
    }
}

} // namespace

KCRCFileWriter::KCRCFileWriter(const kstring& path) : Path(path)
{
    std::call_once(TableFilled, FillTable);
    // A unique name per writer: two transfers may rewrite the same file at once.
    std::string pattern = path + ".XXXXXX";
    int fd = mkstemp(&pattern[0]);
    if (fd >= 0) {
        // 0644 whatever the umask (the service runs with 027; mkstemp creates 0600): in
        // alternative-path mode another TFTP server, usually under a user of its own, serves
        // copies of these files, and a copy keeps the mode of its original.
        fchmod(fd, 0644);
        File = fdopen(fd, "wb");
        if (File) {
            TempPath = pattern;
        } else {
            close(fd);
            unlink(pattern.c_str());
        }
    }
    if (!File)
        throw basekit::KException("Tools/TAVO/KTFTPServer", 161, "Error opening file %s", path.c_str());
}

KCRCFileWriter::~KCRCFileWriter()
{
    if (!File)
        return;
    uint32_t value = ~CRC;
    const unsigned char trailer[4] = {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                                      static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    if (!Failed && fwrite(trailer, 1, sizeof trailer, File) != sizeof trailer)
        Failed = true;
    if (fclose(File) != 0)
        Failed = true;
    if (Failed || rename(TempPath.c_str(), Path.c_str()) != 0)
        unlink(TempPath.c_str());
}

size_t KCRCFileWriter::Write(const kstring& text)
{
    if (!File || Failed)
        return 0;
    std::string lines;
    lines.reserve(text.size() + text.size() / 8 + 2);
    for (char c : text) {
        if (c == '\n')
            lines += '\r';
        lines += c;
    }
    size_t written = fwrite(lines.data(), 1, lines.size(), File);
    if (written != lines.size())
        Failed = true;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(lines.data());
    for (size_t i = 0; i < written; ++i)
        CRC = (CRC >> 8) ^ CRCTable[(CRC ^ bytes[i]) & 0xFF];
    return written;
}

void KCRCFileWriter::Discard()
{
    Failed = true;
}
