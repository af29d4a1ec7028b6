// Runs a fuzz target's entry point over saved inputs, for builds without libFuzzer: every file
// named on the command line, and every regular file inside every directory named (in name
// order). A broken invariant aborts the run as it does under libFuzzer; the run also fails when
// no input was found, so that a missing corpus cannot pass unnoticed.
//   replay_fuzz_<name> <file or directory>...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size);

namespace {

namespace fs = std::filesystem;

bool Replay(const fs::path& File) {
  std::ifstream In(File, std::ios::binary);
  if (!In) {
    std::fprintf(stderr, "cannot read %s\n", File.c_str());
    return false;
  }
  const std::vector<char> Bytes((std::istreambuf_iterator<char>(In)),
                                std::istreambuf_iterator<char>());
  std::fprintf(stderr, "replaying %s (%zu bytes)\n", File.c_str(), Bytes.size());
  // The entry point may keep no pointer past the call; a copy of exactly Size bytes lets a
  // sanitizer see any read beyond the input.
  const std::vector<std::uint8_t> Input(Bytes.begin(), Bytes.end());
  LLVMFuzzerTestOneInput(Input.data(), Input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> Files;
  for (int I = 1; I < argc; ++I) {
    const fs::path Given(argv[I]);
    std::error_code Error;
    if (!fs::is_directory(Given, Error)) {
      Files.push_back(Given);  // a file, or what Replay reports it cannot read
      continue;
    }
    std::vector<fs::path> Inside;
    for (const fs::directory_entry& Entry : fs::directory_iterator(Given, Error))
      if (Entry.is_regular_file()) Inside.push_back(Entry.path());
    if (Error) {
      std::fprintf(stderr, "cannot list %s: %s\n", argv[I], Error.message().c_str());
      return 1;
    }
    std::sort(Inside.begin(), Inside.end());
    Files.insert(Files.end(), Inside.begin(), Inside.end());
  }
  if (Files.empty()) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  for (const fs::path& File : Files)
    if (!Replay(File)) return 1;
  std::fprintf(stderr, "%zu inputs replayed\n", Files.size());
  return 0;
}
