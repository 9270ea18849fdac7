// Runs every archive of the hostile corpus through the extractor, from memory
// and from a file, and checks the result that corpus.tsv gives for this build,
// the files that must survive, and that nothing lands outside the destination.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "archive_extractor.h"

namespace fs = std::filesystem;

namespace {

// A file that must be written: the archive's bytes [offset, offset + length).
struct Kept {
  std::string path;  // below the destination, '/' between folders
  std::uint64_t offset;
  std::uint64_t length;
};

struct Row {
  std::string file;
  int native;
  int win32;
  std::vector<Kept> kept;
  std::string what;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.file; }

struct Corpus {
  std::size_t destinationLength = 0;
  std::vector<Row> rows;
  std::string problem;  // why the table could not be read
};

const fs::path kHostileDir = HOSTILE_DIR;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.push_back("");
  return parts;
}

bool ParseKept(const std::string& text, Kept* kept) {
  std::size_t at = text.rfind('@');
  std::size_t plus = text.rfind('+');
  if (at == std::string::npos || plus == std::string::npos || plus < at) return false;
  kept->path = text.substr(0, at);
  kept->offset = std::stoull(text.substr(at + 1, plus - at - 1));
  kept->length = std::stoull(text.substr(plus + 1));
  return true;
}

Corpus ReadCorpus() {
  Corpus corpus;
  std::ifstream in(kHostileDir / "corpus.tsv");
  if (!in) {
    corpus.problem = "cannot read corpus.tsv";
    return corpus;
  }
  const std::string lengthKey = "# destination_length=";
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, lengthKey.size(), lengthKey) == 0) {
      corpus.destinationLength = std::stoul(line.substr(lengthKey.size()));
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields = Split(line, '\t');
    Row row;
    if (fields.size() != 7) {
      corpus.problem = "not 7 columns: " + line;
      return corpus;
    }
    row.file = fields[0];
    row.native = std::stoi(fields[1]);
    row.win32 = std::stoi(fields[2]);
    row.what = fields[6];
    if (!fields[5].empty()) {
      for (const std::string& text : Split(fields[5], ';')) {
        Kept kept;
        if (!ParseKept(text, &kept)) {
          corpus.problem = "bad kept file " + text;
          return corpus;
        }
        row.kept.push_back(kept);
      }
    }
    corpus.rows.push_back(row);
  }
  return corpus;
}

const Corpus& TheCorpus() {
  static const Corpus corpus = ReadCorpus();
  return corpus;
}

// The only 32-bit build is the Windows one, whose column differs where memory
// runs out and where Windows refuses a path.
int Expected(const Row& row) { return sizeof(void*) == 4 ? row.win32 : row.native; }

std::vector<unsigned char> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>());
}

// A fresh scratch folder holding a/b/c/DEST, where the destination's path has
// exactly the length the corpus's long names are built for. Names that climb
// out of the destination climb fewer levels than it lies deep, so whatever
// escapes lands in the scratch folder, where it is seen.
class Scratch {
 public:
  explicit Scratch(std::size_t destinationLength) {
    static int count = 0;
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    do {
      root_ = fs::temp_directory_path() /
              ("hostile-" + std::to_string(stamp % 1000000) + "-" + std::to_string(++count));
    } while (!fs::create_directory(root_));
    fs::path parent = root_ / "a" / "b" / "c";
    fs::create_directories(parent);
    std::string prefix = (parent / "d").string();
    prefix.pop_back();
    if (prefix.size() < destinationLength) {
      destination_ = prefix + std::string(destinationLength - prefix.size(), 'd');
    }
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Empty when the scratch folder is too deep for the wanted length.
  const std::string& destination() const { return destination_; }

  // Everything in the scratch folder that is neither the destination, nor in
  // it, nor one of the folders that lead to it.
  std::vector<std::string> Outside() const {
    const std::set<fs::path> leading = {root_ / "a", root_ / "a" / "b", root_ / "a" / "b" / "c"};
    std::vector<std::string> outside;
    for (auto it = fs::recursive_directory_iterator(root_); it != fs::end(it); ++it) {
      if (it->path() == fs::path(destination_)) {
        it.disable_recursion_pending();
      } else if (leading.count(it->path()) == 0) {
        outside.push_back(it->path().string());
      }
    }
    return outside;
  }

 private:
  fs::path root_;
  std::string destination_;
};

class HostileArchive : public ::testing::TestWithParam<Row> {
 protected:
  // Extracts with the given stream into a fresh scratch folder and checks the
  // result, the kept files and the scratch folder.
  void Check(DataStream& stream, const char* kind) {
    SCOPED_TRACE(kind);
    const Row& row = GetParam();
    Scratch scratch(TheCorpus().destinationLength);
    ASSERT_FALSE(scratch.destination().empty()) << "the temporary folder lies too deep";
    std::string archive = (kHostileDir / "corpus" / row.file).string();
    int result = ArchiveExtractor().Extract(archive.c_str(), scratch.destination().c_str(), stream);
    EXPECT_EQ(Expected(row), result) << row.what;
    EXPECT_EQ(std::vector<std::string>(), scratch.Outside());
    for (const Kept& kept : row.kept) {
      ASSERT_LE(kept.offset + kept.length, bytes.size()) << kept.path;
      std::vector<unsigned char> expected(bytes.begin() + kept.offset,
                                          bytes.begin() + kept.offset + kept.length);
      fs::path written = fs::path(scratch.destination()) / fs::path(kept.path).make_preferred();
      EXPECT_TRUE(fs::is_regular_file(written)) << kept.path;
      EXPECT_EQ(expected, ReadAll(written)) << kept.path;
    }
  }

  std::vector<unsigned char> bytes;
};

TEST_P(HostileArchive, ExtractsAsDocumented) {
  bytes = ReadAll(kHostileDir / "corpus" / GetParam().file);
  // Never a null block, even for an empty file: that would be a failed Open,
  // not an archive that is too short.
  std::vector<unsigned char> block(bytes);
  block.push_back(0);
  MemoryDataStream memory(block.data(), static_cast<std::uint32_t>(bytes.size()));
  Check(memory, "from memory");
  FileDataStream file;
  Check(file, "from a file");
}

std::string TestName(const ::testing::TestParamInfo<Row>& info) {
  std::string name = info.param.file.substr(0, info.param.file.rfind('.'));
  for (char& c : name) {
    bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Corpus, HostileArchive, ::testing::ValuesIn(TheCorpus().rows), TestName);

TEST(HostileCorpus, TableDescribesEveryFileOnce) {
  const Corpus& corpus = TheCorpus();
  ASSERT_EQ("", corpus.problem);
  EXPECT_GT(corpus.destinationLength, 0u);
  std::multiset<std::string> listed;
  for (const Row& row : corpus.rows) {
    listed.insert(row.file);
    for (int code : {row.native, row.win32}) {
      EXPECT_TRUE(code >= EXTRACT_OK && code <= EXTRACT_CREATE_FAILED) << row.file;
    }
  }
  std::multiset<std::string> present;
  for (const auto& entry : fs::directory_iterator(kHostileDir / "corpus")) {
    present.insert(entry.path().filename().string());
  }
  EXPECT_EQ(present, listed);
  EXPECT_GE(listed.size(), 40u);
}

}  // namespace
