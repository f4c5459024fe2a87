#pragma once
// Report texts for the tests: sections built line by line as the survey writes them.

#include <string>
#include <vector>

namespace vyr::report_test {

inline const std::string HEADER = "IP\tSerial\tID\tBIOS\tApplication\tVersion\tModem ID\tESN";

// The lines joined, each ended by `end`; "H" stands for the header.
inline std::string reportText(const std::vector<std::string>& lines, const char* end = "\r\n") {
  std::string text;
  for (const std::string& line : lines) text += (line == "H" ? HEADER : line) + end;
  return text;
}

}  // namespace vyr::report_test
