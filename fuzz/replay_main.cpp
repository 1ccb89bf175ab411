// The entry of a fuzz target's replay program in the ordinary build: every file named on the
// command line and every file of the folders named there (a target's seeds and the inputs that
// once made it fail) goes through the target's LLVMFuzzerTestOneInput, as libFuzzer would hand
// it over. A failure aborts, as it would under the fuzzer; a missing folder holds no input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    if (fs::is_regular_file(argv[i], error)) {
      inputs.push_back(argv[i]);
      continue;
    }
    for (fs::directory_iterator it(argv[i], error), end; !error && it != end; it.increment(error))
      if (it->is_regular_file()) inputs.push_back(it->path());
  }
  // A fixed order, so that a failure names the same input every time.
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& input : inputs) {
    std::ifstream file(input, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.eof() && file.fail()) {
      std::fprintf(stderr, "cannot read %s\n", input.c_str());
      return 1;
    }
    std::fprintf(stderr, "%s\n", input.c_str());
    // The fuzzer never hands over a null pointer, even for an empty input.
    static const uint8_t kEmpty = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &kEmpty : reinterpret_cast<const uint8_t*>(bytes.data()),
                           bytes.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
  // A target without inputs has lost its seeds.
  return inputs.empty() ? 1 : 0;
}
