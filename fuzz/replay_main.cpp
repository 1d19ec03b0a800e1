// Runs a fuzz target without libFuzzer: every file named on the command line, and every
// file in each directory named (sorted, dot files skipped), is handed to the target once.
// The corpus and the kept crash inputs thus run in every normal test build. Each input is
// copied into a buffer of exactly its size, so an over-read shows under ASan as in fuzzing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

void run_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto copy = std::make_unique<std::uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), copy.get());
  LLVMFuzzerTestOneInput(copy.get(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    std::error_code ec;
    if (!fs::is_directory(arg, ec)) {
      if (!fs::exists(arg, ec)) {
        std::fprintf(stderr, "replay: %s does not exist\n", argv[i]);
        return 2;
      }
      run_file(arg);
      ++count;
      continue;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(arg))
      if (entry.is_regular_file() && entry.path().filename().string().front() != '.')
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) run_file(file);
    count += files.size();
  }
  std::printf("replay: %zu inputs ran clean\n", count);
  return 0;
}
