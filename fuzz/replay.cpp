// Runs a fuzz target without the fuzzer, as a test: every seed of its
// corpus, then inputs made by mutating them with a fixed seed, so that a
// failure repeats. Usage: replay_TARGET CORPUS_DIR [ROUNDS]
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace std::string_literals;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
extern "C" [[gnu::weak]] int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> seeds;
  for (const auto &e : std::filesystem::directory_iterator(argv[1])) {
    std::ifstream f(e.path(), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    seeds.push_back(ss.str());
  }
  auto run = [](const std::string &s) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(s.data()), s.size());
  };
  for (const auto &s : seeds) run(s);
  // Bytes that matter to the clean-up, the decoding and the protocol, and
  // now and then any byte at all.
  const std::string alphabet = "//..++  \t%%2eEfZ;*\\\r\n\n\0\x01"s;
  std::mt19937 rng(1);
  for (int round = argc > 2 ? std::atoi(argv[2]) : 20000; round > 0 && !seeds.empty(); --round) {
    std::string s = seeds[rng() % seeds.size()];
    for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) {
      std::size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
      char c = rng() % 8 == 0 ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()];
      switch (rng() % 4) {
        case 0: s.insert(at, 1, c); break;
        case 1: if (at < s.size()) s.erase(at, 1); break;
        case 2: if (at < s.size()) s[at] = c; break;
        default: s.insert(at, s.substr(at, rng() % 16)); break;
      }
    }
    run(s);
  }
  return 0;
}
