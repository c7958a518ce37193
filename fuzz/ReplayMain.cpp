// Runs a fuzz target's entry point over every file of the corpus directories given, so the
// kept corpus is replayed by the ordinary test suite and a fixed crash stays fixed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    int replayed = 0;
    try {
        for (int i = 1; i < argc; ++i) {
            for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
                const std::string bytes = fuzz::ReadFile(entry.path());
                LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
                ++replayed;
            }
        }
    } catch (const std::filesystem::filesystem_error& error) {
        std::fprintf(stderr, "%s\n", error.what()); // a missing corpus fails the test
        return 1;
    }
    std::printf("replayed %d inputs\n", replayed);
    return 0;
}
