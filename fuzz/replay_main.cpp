// Runs a fuzz target's entry point once on each input file, without libFuzzer, so
// the committed corpus and regression inputs replay as an ordinary test under the
// sanitizers (and with any compiler). Arguments are files or folders (each regular
// file directly inside a folder is an input); a missing folder holds no inputs.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool RunFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so reading past its end is a sanitizer report.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(arg, error)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(arg, error)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
            if (error) {
                std::fprintf(stderr, "replay: cannot list %s\n", argv[i]);
                return 1;
            }
            for (const auto& file : files) {
                if (!RunFile(file)) return 1;
                ++count;
            }
        } else if (std::filesystem::exists(arg, error)) {
            if (!RunFile(arg)) return 1;
            ++count;
        }
    }
    std::printf("replay: %zu inputs ran without a finding\n", count);
    return 0;
}
