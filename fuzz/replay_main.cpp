// Runs a fuzz target without the fuzzing engine, for the test suite: every file of a corpus
// folder once, then a fixed number of inputs made from them by a fixed-seed mutator (byte and
// dictionary-word insertions, deletions, replacements and splices), so each run checks the same
// inputs. A crash or sanitizer report ends the process, which fails the test.
//
//   script_fuzz_replay CORPUS_DIR DICTIONARY ROUNDS SEED
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Dictionary lines as libFuzzer reads them: name="value" with \\ and \" escapes, # comments.
std::vector<std::string> ReadDictionary(const std::string& path) {
  std::vector<std::string> words;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t open = line.find('"');
    const size_t close = line.rfind('"');
    if (line.empty() || line[0] == '#' || open == std::string::npos || close <= open) continue;
    std::string word;
    for (size_t i = open + 1; i < close; ++i) {
      if (line[i] == '\\' && i + 1 < close) ++i;
      word += line[i];
    }
    words.push_back(word);
  }
  return words;
}

void Run(const std::string& input) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR DICTIONARY ROUNDS SEED\n", argv[0]);
    return 2;
  }
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> corpus;
  for (const auto& file : files) corpus.push_back(ReadFile(file));
  const std::vector<std::string> words = ReadDictionary(argv[2]);
  const long rounds = std::strtol(argv[3], nullptr, 10);
  if (corpus.empty() || words.empty() || rounds < 0) {
    std::fprintf(stderr, "empty corpus or dictionary\n");
    return 2;
  }
  for (const std::string& input : corpus) Run(input);

  std::mt19937_64 random(std::strtoull(argv[4], nullptr, 10));
  auto below = [&](size_t n) { return n == 0 ? size_t{0} : static_cast<size_t>(random() % n); };
  for (long round = 0; round < rounds; ++round) {
    std::string input = corpus[below(corpus.size())];
    const size_t edits = 1 + below(8);
    for (size_t e = 0; e < edits; ++e) {
      const size_t at = below(input.size() + 1);
      switch (below(6)) {
        case 0: input.insert(at, words[below(words.size())]); break;
        case 1: input.insert(at, 1, static_cast<char>(random())); break;
        case 2: input.erase(at, below(16)); break;
        case 3:
          if (at < input.size()) input[at] = static_cast<char>(random());
          break;
        case 4: {  // a piece of another input
          const std::string& other = corpus[below(corpus.size())];
          const size_t from = below(other.size());
          input.insert(at, other.substr(from, below(64)));
          break;
        }
        default: {  // a piece of this input repeated: long chains and deep nesting
          const size_t from = below(input.size());
          const std::string piece = input.substr(from, 1 + below(8));
          std::string repeated;
          for (size_t n = below(400); n > 0; --n) repeated += piece;
          input.insert(at, repeated);
          break;
        }
      }
    }
    Run(input);
  }
  std::printf("%zu corpus inputs and %ld mutated inputs ran\n", corpus.size(), rounds);
  return 0;
}
