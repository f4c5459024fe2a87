#include "survey/list_files.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/wildcard.h"
#include "survey/row_forms.h"
#include "survey/scan.h"

namespace vyr {
namespace {

// Alphabetical without regard to case, as the sorted selector shows its names; names that differ
// only in case keep a fixed byte order.
bool alphabetically(const std::string& a, const std::string& b) {
  auto folded = [](char x, char y) { return foldCase(x) < foldCase(y); };
  if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), folded)) return true;
  if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), folded)) return false;
  return a < b;
}

// The row for one line: tries the address form, then the ID/serial form, at the start of the line
// and at the start of every later word, and stops at the first that reads.
void addRowForLine(const char* line, ListView& list) {
  const char* p = line;
  int32_t numbers[4];
  bool isAddress = scanAddressForm(p, numbers);
  while (!isAddress) {
    char id[9];
    uint32_t serial = 0;
    if (scanIdSerialForm(p, id, serial)) {
      list.addRow(listedSerialRow(serial, id).text);
      return;
    }
    p = skipWord(p);
    if (*p == '\0') return;
    isAddress = scanAddressForm(p, numbers);
  }
  if ((numbers[0] | numbers[1] | numbers[2] | numbers[3]) == 0) return;
  list.addRow(listedAddressRow(numbers).text);
}

// readLine, also telling whether the piece filled the buffer without a line feed in any of its
// bytes: then the line goes on in the next piece, if one follows.
char* readPiece(char* buffer, int32_t size, FileHandle& file, bool& full) {
  full = false;
  if (size < 2) return nullptr;
  int32_t count = file.read(buffer, size - 1);
  if (count <= 0) return nullptr;
  full = count == size - 1 && std::memchr(buffer, '\n', static_cast<size_t>(count)) == nullptr;
  buffer[count] = '\0';
  // The search stops at a NUL byte, so a NUL drops the rest of its piece.
  char* lineFeed = std::strchr(buffer, '\n');
  if (lineFeed != nullptr) {
    int32_t after = count - static_cast<int32_t>(lineFeed + 1 - buffer);
    lineFeed[1] = '\0';
    if (after > 0) file.seek(-after, SeekFrom::CURRENT);
  }
  return buffer;
}

}  // namespace

void fillListSelector(SurveyContext& context) {
  std::vector<std::string> names = context.files.listMatching(LIST_FILE_PATTERN);
  std::sort(names.begin(), names.end(), alphabetically);
  for (const std::string& name : names) context.dialog.addSelectorItem(name.c_str());
}

void chooseListFile(SurveyContext& context) {
  context.list.clearRows();
  context.listCutLines = 0;
  char name[LIST_LINE_BUFFER];
  context.dialog.selectorText(name, sizeof name);
  std::unique_ptr<FileHandle> file = context.files.openForReading(name);
  if (!file) return;
  context.listCutLines = loadListFile(*file, context.list);
  file->close();
}

int32_t loadListFile(FileHandle& file, ListView& list) {
  char line[LIST_LINE_BUFFER];
  int32_t cutLines = 0;
  bool midLine = false;  // the last piece filled the buffer and held no line feed
  bool counted = false;  // the line being read is already counted
  for (;;) {
    bool full = false;
    if (readPiece(line, sizeof line, file, full) == nullptr) break;
    if (midLine && !counted) {
      ++cutLines;
      counted = true;
    }
    addRowForLine(line, list);
    midLine = full;
    if (!midLine) counted = false;
  }
  return cutLines;
}

char* readLine(char* buffer, int32_t size, FileHandle& file) {
  bool full = false;
  return readPiece(buffer, size, file, full);
}

}  // namespace vyr
