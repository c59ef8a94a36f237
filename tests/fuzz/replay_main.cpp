// SPDX-License-Identifier: MIT
// Replays a fuzz corpus through the harness without libFuzzer, so the
// checked-in inputs run as an ordinary test on every build.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        std::vector<fs::path> files;
        if (fs::is_directory(argv[i], ec)) {
            for (const auto &entry : fs::recursive_directory_iterator(argv[i]))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
        } else {
            files.emplace_back(argv[i]);
        }
        for (const auto &file : files) {
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", file.c_str());
                return 1;
            }
            std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            // an empty vector's data() may be null; the harness must see a valid pointer
            uint8_t dummy = 0;
            LLVMFuzzerTestOneInput(data.empty() ? &dummy : data.data(), data.size());
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    // an empty corpus means the test proves nothing
    return count > 0 ? 0 : 1;
}
