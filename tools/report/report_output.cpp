#include "report/report_output.h"

#include <cstdint>
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

std::string textTable(const Table& table) {
  std::string out = table.title + "\n";
  if (table.rows.empty()) return out + "  (none)\n";
  // Widths count characters: one per byte of the report's 8-bit texts.
  std::vector<size_t> widths;
  for (const Column& column : table.columns) widths.push_back(std::string_view(column.title).size());
  for (const auto& row : table.rows) {
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      if (row[i].size() > widths[i]) widths[i] = row[i].size();
    }
  }
  auto writeRow = [&](auto cell) {
    std::string line;
    for (size_t i = 0; i < table.columns.size(); ++i) {
      if (!table.columns[i].inText) continue;
      const std::string_view value = cell(i);
      line += "  ";
      const size_t gap = widths[i] - value.size();
      if (table.columns[i].number) pad(line, gap);
      line += cellText(value);
      if (!table.columns[i].number) pad(line, gap);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  };
  writeRow([&](size_t i) { return std::string_view(table.columns[i].title); });
  for (const auto& row : table.rows) {
    writeRow([&](size_t i) { return i < row.size() ? std::string_view(row[i]) : ""; });
  }
  return out;
}

std::string csvCell(std::string_view bytes) {
  const std::string cell = cellText(bytes);
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string csvTables(const std::vector<Table>& tables) {
  // One header for every table: a spreadsheet filters the rows by their first column.
  std::vector<std::string> keys;
  for (const Table& table : tables) {
    for (const Column& column : table.columns) {
      bool known = false;
      for (const std::string& key : keys) known = known || key == column.key;
      if (!known) keys.emplace_back(column.key);
    }
  }
  std::string out = "table";
  for (const std::string& key : keys) out += "," + csvCell(key);
  out += "\r\n";
  for (const Table& table : tables) {
    for (const auto& row : table.rows) {
      std::vector<std::string> cells(keys.size());
      for (size_t i = 0; i < table.columns.size() && i < row.size(); ++i) {
        for (size_t k = 0; k < keys.size(); ++k) {
          if (keys[k] == table.columns[i].key) cells[k] = csvCell(row[i]);
        }
      }
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

std::string latin1ToUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x80) {
      text += c;
    } else {
      text += static_cast<char>(0xC0 | byte >> 6);
      text += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return text;
}

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
