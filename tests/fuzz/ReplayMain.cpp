// Runs a target over files and folders of inputs, as libFuzzer does with a corpus, so that the
// builds without libFuzzer replay every committed input as a test.
#include "FuzzSupport.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

int replay(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> content((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so that a read past its end is seen by ASan.
    std::vector<std::uint8_t> input(content.begin(), content.end());
    return LLVMFuzzerTestOneInput(input.data(), input.size());
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
                if (entry.is_regular_file()) {
                    replay(entry.path());
                    ++count;
                }
            }
        } else {
            replay(path);
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return count > 0 ? 0 : 1;
}
