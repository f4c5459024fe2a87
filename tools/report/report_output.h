#pragma once
// The commands' results as tables, written as aligned text for a terminal, as CSV for a
// spreadsheet or as JSON lines for a script.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/latin1.h"

namespace vyr {

enum class Format { TEXT, CSV, JSON };

struct Column {
  const char* key = "";    // CSV header and JSON member name
  const char* title = "";  // heading in text
  bool number = false;     // right-aligned in text, a number in JSON
  bool inText = true;      // columns that only repeat the title are left out of text
};

// Cells hold the report's bytes as they are (8-bit texts, read as Latin-1).
struct Table {
  const char* kind;   // JSON "type" and CSV "table"
  std::string title;  // printed above the table in text
  std::vector<Column> columns;
  std::vector<std::vector<std::string>> rows;
};

// The bytes with each control byte (0x00-0x1F, 0x7F) shown as '?', so that a unit's text
// cannot reach a terminal or a spreadsheet as a control sequence.
std::string shownText(std::string_view bytes);

// Text: each table under its title, its columns aligned. CSV (UTF-8, RFC 4180): one header row
// naming "table" and every column of every table, then one row per table row. JSON: one object
// per row, "type" first.
std::string formatTables(const std::vector<Table>& tables, Format format);

}  // namespace vyr
