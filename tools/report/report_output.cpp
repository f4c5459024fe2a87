#include "report/report_output.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>

namespace vyr {
namespace {

// Keys stay in the order written: "type" first, then the table's columns.
using json = nlohmann::ordered_json;

bool isControl(char c) {
  const auto byte = static_cast<uint8_t>(c);
  return byte < 0x20 || byte == 0x7F;
}

// A cell for a terminal or a spreadsheet: control bytes shown, then as UTF-8.
std::string cellText(std::string_view bytes) { return latin1ToUtf8(shownText(bytes)); }

void pad(std::string& out, size_t count) { out.append(count, ' '); }

// The cells of a row, the missing ones empty.
std::vector<std::string_view> cellsOf(const std::vector<std::string>& row, size_t columns) {
  std::vector<std::string_view> cells(columns);
  for (size_t i = 0; i < columns && i < row.size(); ++i) cells[i] = row[i];
  return cells;
}

// Each column as wide as its widest cell: one character per byte of the report's 8-bit texts.
std::vector<size_t> columnWidths(const Table& table) {
  std::vector<size_t> widths;
  for (const Column& column : table.columns) widths.push_back(std::strlen(column.title));
  for (const auto& row : table.rows) {
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], row[i].size());
    }
  }
  return widths;
}

std::string textRow(const Table& table, const std::vector<size_t>& widths,
                    const std::vector<std::string_view>& cells) {
  std::string line;
  for (size_t i = 0; i < table.columns.size(); ++i) {
    if (!table.columns[i].inText) continue;
    const size_t gap = widths[i] - cells[i].size();
    line += "  ";
    if (table.columns[i].number) pad(line, gap);
    line += cellText(cells[i]);
    if (!table.columns[i].number) pad(line, gap);
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line + "\n";
}

std::string textTable(const Table& table) {
  std::string out = table.title + "\n";
  if (table.rows.empty()) return out + "  (none)\n";
  const std::vector<size_t> widths = columnWidths(table);
  std::vector<std::string_view> titles;
  for (const Column& column : table.columns) titles.emplace_back(column.title);
  out += textRow(table, widths, titles);
  for (const auto& row : table.rows) out += textRow(table, widths, cellsOf(row, widths.size()));
  return out;
}

std::string csvCell(std::string_view bytes) {
  std::string cell = cellText(bytes);
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// Every table's columns once, in the order they first appear.
std::vector<std::string> csvKeys(const std::vector<Table>& tables) {
  std::vector<std::string> keys;
  for (const Table& table : tables) {
    for (const Column& column : table.columns) {
      if (std::find(keys.begin(), keys.end(), column.key) == keys.end()) {
        keys.emplace_back(column.key);
      }
    }
  }
  return keys;
}

std::string csvTables(const std::vector<Table>& tables) {
  // One header for every table: a spreadsheet filters the rows by their first column.
  const std::vector<std::string> keys = csvKeys(tables);
  std::string out = "table";
  for (const std::string& key : keys) out += "," + csvCell(key);
  out += "\r\n";
  for (const Table& table : tables) {
    // Where each of the table's columns goes among the keys.
    std::vector<size_t> place;
    for (const Column& column : table.columns) {
      place.push_back(
          static_cast<size_t>(std::find(keys.begin(), keys.end(), column.key) - keys.begin()));
    }
    for (const auto& row : table.rows) {
      std::vector<std::string> cells(keys.size());
      for (size_t i = 0; i < place.size() && i < row.size(); ++i) cells[place[i]] = csvCell(row[i]);
      out += table.kind;
      for (const std::string& cell : cells) out += "," + cell;
      out += "\r\n";
    }
  }
  return out;
}

std::string jsonTables(const std::vector<Table>& tables) {
  std::string out;
  for (const Table& table : tables) {
    for (const auto& row : table.rows) {
      json object = {{"type", table.kind}};
      for (size_t i = 0; i < table.columns.size() && i < row.size(); ++i) {
        const Column& column = table.columns[i];
        if (column.number) {
          object[column.key] = row[i].empty() ? json(nullptr) : json(std::stoll(row[i]));
        } else {
          // The exact bytes, read as Latin-1: control bytes are escaped by the library.
          object[column.key] = latin1ToUtf8(row[i]);
        }
      }
      out += object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    }
  }
  return out;
}

}  // namespace

std::string shownText(std::string_view bytes) {
  std::string shown(bytes);
  for (char& c : shown) {
    if (isControl(c)) c = '?';
  }
  return shown;
}

std::string formatTables(const std::vector<Table>& tables, Format format) {
  if (format == Format::CSV) return csvTables(tables);
  if (format == Format::JSON) return jsonTables(tables);
  std::string out;
  for (const Table& table : tables) {
    if (!out.empty()) out += "\n";
    out += textTable(table);
  }
  return out;
}

}  // namespace vyr
