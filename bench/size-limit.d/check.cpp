// Times Patch.exe's check of its archive natively, for bench/size-limit: the
// archive's file mapped as the loader maps the program, its CRC-32 computed
// by the installer's own code (every page touched for the first time) and
// compared with the check Patch.exe carries.
//
//   check ARCHIVE CHECK
//
// CHECK is the check resource's 4 bytes as a little-endian number in hex.
// Prints the milliseconds that passed, those the process spent on a CPU (on
// a machine whose cores are shared, what an idle one would take) and "holds"
// or "fails"; exit code 0 when it holds.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "payload_check.h"

int main(int argc, char** argv) {
  struct stat info;
  int file = argc == 3 ? open(argv[1], O_RDONLY) : -1;
  if (file < 0 || fstat(file, &info) != 0) {
    std::fprintf(stderr, "usage: check ARCHIVE CHECK (a readable archive)\n");
    return 2;
  }
  unsigned char check[kPayloadCheckSize];
  PutPayloadCheck(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 16)), check);
  auto start = std::chrono::steady_clock::now();
  std::clock_t cpuStart = std::clock();
  void* archive = mmap(nullptr, info.st_size, PROT_READ, MAP_PRIVATE, file, 0);
  if (archive == MAP_FAILED) {
    std::perror("mmap");
    return 2;
  }
  bool holds = PayloadCheckHolds(check, sizeof check, Crc32(0, archive, info.st_size));
  double cpuMs = 1000.0 * (std::clock() - cpuStart) / CLOCKS_PER_SEC;
  std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - start;
  std::printf("%.1f %.1f %s\n", ms.count(), cpuMs, holds ? "holds" : "fails");
  return holds ? 0 : 1;
}
