// kelvane-samples DIR: writes the sample files into DIR (which must exist).

#include <cstdio>
#include <exception>

#include "receiver/SampleFiles.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kelvane-samples DIR\n");
    return 2;
  }
  try {
    for (const auto& p : kelvane::samples::WriteSamples(argv[1])) std::printf("%s\n", p.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvane-samples: %s\n", e.what());
    return 1;
  }
  return 0;
}
