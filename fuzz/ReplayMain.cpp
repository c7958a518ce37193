// Runs a fuzz target's entry point over every file given (or found in given directories),
// so the kept corpus is replayed by the ordinary test suite and a fixed crash stays fixed.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int ReplayFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int failures = 0, replayed = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat info;
        if (stat(argv[i], &info) != 0) {
            std::fprintf(stderr, "missing %s\n", argv[i]);
            ++failures;
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            failures += ReplayFile(argv[i]);
            ++replayed;
            continue;
        }
        DIR* dir = opendir(argv[i]);
        if (!dir)
            continue;
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            failures += ReplayFile(std::string(argv[i]) + "/" + entry->d_name);
            ++replayed;
        }
        closedir(dir);
    }
    std::printf("replayed %d inputs\n", replayed);
    return failures ? 1 : 0;
}
