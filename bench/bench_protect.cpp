// Writes a protected copy of an .xlsx for bench_protected.sh: agile
// encryption with SHA-512 and AES-256 and the 100,000 key derivation rounds
// Excel uses, encrypted by the tests' independent writer.
// Usage: bench_protect in.xlsx out.xlsx password
#include <cstdio>
#include <fstream>
#include <iterator>

#include "CryptBuilder.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: bench_protect in.xlsx out.xlsx password\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string package((std::istreambuf_iterator<char>(in)), {});
  cryptbooks::TAgileWriter w;
  w.SpinCount = 100000;
  const auto file = cryptbooks::Container(w.Streams(argv[3], package));
  std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  return package.empty() ? 1 : 0;
}
