// vyr-report: what a fleet runs and what changed, from the report files of its surveys.

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "report/report_command.h"

int main(int argc, char** argv) {
#ifdef _WIN32
  // The CSV's line ends are its own; a text-mode stdout would double them.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::string out;
  std::string err;
  const int status = vyr::runReport(argc, argv, out, err);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fwrite(err.data(), 1, err.size(), stderr);
  if (std::fflush(stdout) != 0) {
    std::fputs("vyr-report: standard output could not be written\n", stderr);
    return vyr::REPORT_BAD_INPUT;
  }
  return status;
}
