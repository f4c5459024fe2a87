#include "fleet/demo_files.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

// Generated from demo/ at configure time: DEMO_FILES, one DemoFile for each.
#include "fleet/demo_files_data.h"

namespace vyr::fleet {

const DemoFile* demoFiles(size_t& count) {
  count = sizeof DEMO_FILES / sizeof DEMO_FILES[0];
  return DEMO_FILES;
}

bool writeDemoFiles(const std::string& dir, std::ostream& out, std::ostream& err) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) {
    err << "vyr-fleet: cannot make " << dir << ": " << error.message() << '\n';
    return false;
  }
  // Every name is checked before any is written, so a refusal leaves the folder as it was.
  std::string present;
  for (const DemoFile& file : DEMO_FILES) {
    if (fs::exists(fs::symlink_status(fs::path(dir) / file.name))) {
      present += present.empty() ? "" : ", ";
      present += file.name;
    }
  }
  if (!present.empty()) {
    err << "vyr-fleet: " << dir << " has " << present
        << " already; nothing written. Choose a new folder, or remove them first.\n";
    return false;
  }
  for (const DemoFile& file : DEMO_FILES) {
    const std::string path = (fs::path(dir) / file.name).string();
    // "x": made here or not at all, even if another program made the file meanwhile.
    std::FILE* stream = std::fopen(path.c_str(), "wbx");
    bool written = stream != nullptr && std::fwrite(file.bytes, 1, file.size, stream) == file.size;
    if (stream != nullptr && std::fclose(stream) != 0) written = false;
    if (!written) {
      err << "vyr-fleet: cannot write " << path << '\n';
      return false;
    }
  }
  out << "Wrote demo.units, north.IPs and south.IPs in " << dir << ". Next, in that folder:\n"
      << "  vyr-fleet demo.units &   # the demo's units and IP server on loopback\n"
      << "  vyrmodel                 # server 127.0.0.1, list north.IPs, then Resume\n"
      << "or without the dialog:\n"
      << "  vyr-survey --server 127.0.0.1 --list north.IPs\n"
      << "Stop the fleet with kill %1 when done. It needs UDP ports 18772, 18773 and 18775.\n";
  return true;
}

}  // namespace vyr::fleet
