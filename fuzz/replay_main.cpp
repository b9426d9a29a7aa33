// Runs a fuzz target over the files it is given, as libFuzzer does when handed a corpus: the
// build without the fuzzer replays the corpus in every test run.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    for (int index = 1; index < argc; ++index) {
        std::ifstream file(argv[index], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", argv[index]);
            return 1;
        }
        std::vector<uint8_t> input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("replayed %d inputs\n", argc - 1);
    return 0;
}
