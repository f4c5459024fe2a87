#pragma once
// The demo's units file and lists, compiled in from demo/ so that `vyr-fleet --demo DIR` needs
// nothing installed beside the program.

#include <cstddef>
#include <ostream>
#include <string>

namespace vyr::fleet {

struct DemoFile {
  const char* name;
  const unsigned char* bytes;
  size_t size;
};

// The demo's files, in the order they are written: demo.units, north.IPs, south.IPs.
const DemoFile* demoFiles(size_t& count);

// Writes every demo file into `dir`, making it if missing, and tells `out` what to run next.
// When any of them is there already it writes none and names those on `err`; it returns false
// then, and when a file cannot be written (after saying which).
bool writeDemoFiles(const std::string& dir, std::ostream& out, std::ostream& err);

}  // namespace vyr::fleet
