// kelvane-samples DIR: writes the sample files into DIR (which must exist).

#include <cstdio>
#include <cstring>
#include <exception>

#include "KelvaneLicence.h"
#include "kelvane-samples-help.h"
#include "receiver/SampleFiles.h"

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kHelpText, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("kelvane-samples %s\n%s", KELVANE_VERSION, kLicenceNotice);
    return 0;
  }
  // A folder is named after "--", or as the only argument when it does not look like an option.
  const bool dashes = argc == 3 && std::strcmp(argv[1], "--") == 0;
  if (!dashes && (argc != 2 || argv[1][0] == '-')) {
    if (argc == 2) std::fprintf(stderr, "kelvane-samples: unknown option %s\n", argv[1]);
    std::fputs(kHelpText, stderr);
    return 2;
  }
  try {
    for (const auto& p : kelvane::samples::WriteSamples(argv[argc - 1]))
      std::printf("%s\n", p.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvane-samples: %s\n", e.what());
    return 1;
  }
  return 0;
}
