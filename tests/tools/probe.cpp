// Extracts archives with the core alone, for the hostile-archive table: each
// line "memory|file ARCHIVE DESTINATION" (tab-separated) on stdin gets the
// result code on stdout. One process serves every row, as Wine starts slowly.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "archive_extractor.h"

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::size_t a = line.find('\t'), b = line.find('\t', a + 1);
    std::string mode = line.substr(0, a), archive = line.substr(a + 1, b - a - 1);
    std::string destination = line.substr(b + 1);
    std::ifstream in(archive, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Never a null block, even for an empty archive: that would be a failed Open.
    bytes.push_back('\0');
    MemoryDataStream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size() - 1));
    FileDataStream file;
    DataStream& stream = mode == "memory" ? static_cast<DataStream&>(memory) : file;
    std::printf("%d\n", ArchiveExtractor().Extract(archive.c_str(), destination.c_str(), stream));
    std::fflush(stdout);
  }
  return 0;
}
