#include "report/report_html.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include "report/report_output.h"

namespace vyr {
namespace {

// Charts stay readable: past these, a note tells how many more there are.
constexpr size_t MAX_BARS = 16;
constexpr size_t MAX_APPLICATION_CHARTS = 12;
// Tables of units stay a page long; past this a note tells how many more there are.
constexpr size_t MAX_TABLE_ROWS = 500;

const char* const STYLE = R"(
body { font: 15px/1.45 system-ui, "Segoe UI", "DejaVu Sans", sans-serif; color: #1d2733;
       background: #f3f5f8; margin: 0; }
main { max-width: 1080px; margin: 0 auto; padding: 24px 28px 40px; }
h1 { font-size: 26px; margin: 0 0 4px; }
h2 { font-size: 18px; margin: 0 0 12px; }
h3 { font-size: 15px; margin: 14px 0 6px; color: #44546a; }
.meta { color: #5a6878; margin: 0 0 20px; }
.figures { display: flex; gap: 14px; margin-bottom: 20px; flex-wrap: wrap; }
.figure { background: #fff; border-radius: 8px; padding: 10px 18px; min-width: 120px;
          box-shadow: 0 1px 3px rgba(20, 30, 50, .12); }
.figure b { display: block; font-size: 24px; }
.figure.warn b { color: #b3261e; }
section { background: #fff; border-radius: 8px; padding: 16px 20px; margin-bottom: 18px;
          box-shadow: 0 1px 3px rgba(20, 30, 50, .12); }
table { border-collapse: collapse; width: 100%; font-size: 14px; }
th { text-align: left; background: #e8edf3; padding: 5px 10px; }
td { padding: 4px 10px; border-bottom: 1px solid #e6e9ee; font-variant-numeric: tabular-nums; }
tr:nth-child(even) td { background: #f8fafc; }
td.num, th.num { text-align: right; }
.charts { display: grid; grid-template-columns: repeat(auto-fill, minmax(470px, 1fr)); gap: 8px; }
.note { color: #5a6878; font-size: 13px; margin: 6px 0 0; }
.tag { border-radius: 4px; padding: 1px 7px; font-size: 13px; white-space: nowrap; }
.added { background: #dcf3e3; color: #17603a; } .gone { background: #fde2e0; color: #8c1d18; }
.stopped { background: #fff0d0; color: #7a4b00; } .started { background: #dbe9fb; color: #1a4d8f; }
.changed { background: #ece3fa; color: #4b2a85; }
svg text { font: 13px system-ui, "Segoe UI", "DejaVu Sans", sans-serif; fill: #1d2733; }
)";

std::string number(int64_t value) { return std::to_string(value); }

struct Bar {
  std::string label;  // the report's bytes
  int32_t units;
};

// A horizontal bar chart, the longest bar for the most units.
std::string barChart(const std::vector<Bar>& bars) {
  constexpr int32_t labelWidth = 120;
  constexpr int32_t barRoom = 290;
  constexpr int32_t rowHeight = 24;
  const size_t shown = std::min(bars.size(), MAX_BARS);
  int32_t most = 1;
  for (const Bar& bar : bars) most = std::max(most, bar.units);
  const int32_t height = static_cast<int32_t>(shown) * rowHeight + 4;
  std::string svg = "<svg xmlns='http://www.w3.org/2000/svg' width='460' height='" +
                    number(height) + "' role='img'>";
  for (size_t i = 0; i < shown; ++i) {
    const int32_t y = static_cast<int32_t>(i) * rowHeight;
    const int64_t width = int64_t{barRoom} * bars[i].units / most;
    const std::string label = bars[i].label.empty() ? "(none)" : htmlText(bars[i].label);
    svg += "<text x='" + number(labelWidth - 8) + "' y='" + number(y + 16) +
           "' text-anchor='end'>" + label + "</text>";
    svg += "<rect x='" + number(labelWidth) + "' y='" + number(y + 3) + "' width='" +
           number(width < 2 ? 2 : width) + "' height='" + number(rowHeight - 6) +
           "' rx='3' fill='" + (i == 0 ? "#2f6fce" : "#7aa6e6") + "'/>";
    svg += "<text x='" + number(labelWidth + width + 8) + "' y='" + number(y + 16) + "'>" +
           number(bars[i].units) + "</text>";
  }
  svg += "</svg>";
  if (bars.size() > shown) {
    svg += "<p class='note'>and " + number(static_cast<int64_t>(bars.size() - shown)) + " more</p>";
  }
  return svg;
}

std::string cell(std::string_view bytes) { return "<td>" + htmlText(bytes) + "</td>"; }
std::string numberCell(int64_t value) { return "<td class='num'>" + number(value) + "</td>"; }

std::string moreRows(size_t total) {
  if (total <= MAX_TABLE_ROWS) return "";
  return "<p class='note'>and " + number(static_cast<int64_t>(total - MAX_TABLE_ROWS)) +
         " more: vyr-report summary lists them all</p>";
}

std::string unansweredSection(const SectionSummary& summary) {
  std::string html = "<section><h2>Did not answer (" +
                     number(static_cast<int64_t>(summary.unanswered.size())) + ")</h2>";
  if (summary.unanswered.empty()) return html + "<p>Every unit answered.</p></section>";
  html +=
      "<table><tr><th>Unit</th><th>ID</th><th class='num'>Serial</th>"
      "<th class='num'>Line</th></tr>";
  for (size_t i = 0; i < summary.unanswered.size() && i < MAX_TABLE_ROWS; ++i) {
    const UnitRow& row = summary.unanswered[i];
    html += "<tr>" + cell(unitName(row)) + cell(text(row.id)) + "<td class='num'>" +
            htmlText(text(row.serial)) + "</td>" + numberCell(row.line) + "</tr>";
  }
  return html + "</table>" + moreRows(summary.unanswered.size()) + "</section>";
}

std::string versionCharts(const SectionSummary& summary) {
  std::string html = "<section><h2>Versions per application</h2>";
  if (summary.applications.empty()) return html + "<p>No unit answered.</p></section>";
  // The versions come most common first; each goes to its application's chart.
  std::unordered_map<std::string, std::vector<Bar>> byApplication;
  for (const Count& count : summary.versions) {
    byApplication[count.application].push_back(Bar{count.version, count.units});
  }
  html += "<div class='charts'>";
  for (size_t i = 0; i < summary.applications.size() && i < MAX_APPLICATION_CHARTS; ++i) {
    const Count& application = summary.applications[i];
    html += "<div><h3>" +
            (application.application.empty() ? "(none)" : htmlText(application.application)) +
            " &middot; " + number(application.units) + " units</h3>" +
            barChart(byApplication[application.application]) + "</div>";
  }
  html += "</div>";
  if (summary.applications.size() > MAX_APPLICATION_CHARTS) {
    html += "<p class='note'>and " +
            number(static_cast<int64_t>(summary.applications.size() - MAX_APPLICATION_CHARTS)) +
            " more applications</p>";
  }
  return html + "</section>";
}

std::string biosChart(const SectionSummary& summary) {
  std::string html = "<section><h2>BIOS versions</h2>";
  if (summary.bios.empty()) return html + "<p>No unit answered.</p></section>";
  std::vector<Bar> bars;
  for (const Count& count : summary.bios) bars.push_back({count.version, count.units});
  return html + barChart(bars) + "</section>";
}

// The change's first word ("stopped", "started", ...) names its style.
std::string tagClass(Change change) {
  const std::string_view name = changeName(change);
  return std::string(name.substr(0, name.find(' ')));
}

std::string changesSection(const PageChanges& changes) {
  if (!changes.present) {
    return "<section><h2>Changes</h2><p>The first section: no earlier one to compare.</p>"
           "</section>";
  }
  std::string html = "<section><h2>Changes since section " + number(changes.fromSection) + "</h2>";
  if (changes.rows.empty()) return html + "<p>No unit changed.</p></section>";
  html += "<table><tr><th>Change</th><th>Unit</th><th>Field</th><th>Old</th><th>New</th></tr>";
  for (size_t i = 0; i < changes.rows.size() && i < MAX_TABLE_ROWS; ++i) {
    const DiffRow& row = changes.rows[i];
    html += std::string("<tr><td><span class='tag ") + tagClass(row.change) + "'>" +
            changeName(row.change) + "</span></td>" + cell(unitName(row.unit)) + cell(row.field) +
            cell(row.before) + cell(row.after) + "</tr>";
  }
  return html + "</table>" + moreRows(changes.rows.size()) + "</section>";
}

std::string sectionsSection(const Report& report, int32_t chosen) {
  std::string html =
      "<section><h2>Sections</h2><table><tr><th class='num'>Section</th>"
      "<th class='num'>Line</th><th class='num'>Units</th>"
      "<th class='num'>Answered</th><th class='num'>Did not answer</th></tr>";
  for (const SectionInfo& info : report.sections) {
    html += std::string("<tr") + (info.index == chosen ? " style='font-weight:600'" : "") + ">" +
            numberCell(info.index) + numberCell(info.headerLine) + numberCell(info.units) +
            numberCell(info.answered) + numberCell(info.units - info.answered) + "</tr>";
  }
  return html + "</table></section>";
}

std::string figure(const char* what, int64_t value, bool warn) {
  return std::string("<div class='figure") + (warn ? " warn" : "") + "'><b>" + number(value) +
         "</b>" + what + "</div>";
}

}  // namespace

std::string htmlText(std::string_view bytes) {
  std::string html;
  html.reserve(bytes.size());
  for (char c : bytes) {
    switch (c) {
      case '&':
        html += "&amp;";
        break;
      case '<':
        html += "&lt;";
        break;
      case '>':
        html += "&gt;";
        break;
      case '"':
        html += "&quot;";
        break;
      case '\'':
        html += "&#39;";
        break;
      default: {
        const auto byte = static_cast<uint8_t>(c);
        if (byte < 0x20 || byte == 0x7F) {
          html += '?';
        } else {
          html += latin1ToUtf8({&c, 1});
        }
      }
    }
  }
  return html;
}

std::string reportPage(const std::string& reportName, const Report& report,
                       const SectionSummary& summary, const PageChanges& changes,
                       const char* version) {
  const SectionInfo& section = summary.section;
  const std::string name = htmlText(reportName);
  std::string html =
      "<!DOCTYPE html>\n<html lang='en'><head><meta charset='utf-8'>"
      "<meta name='viewport' content='width=device-width, initial-scale=1'>"
      "<title>" +
      name + " &middot; section " + number(section.index) + "</title><style>" + STYLE +
      "</style></head>\n<body><main>";
  html += "<h1>What the fleet runs: " + name + "</h1>";
  html += "<p class='meta'>Section " + number(section.index) + " of " +
          number(static_cast<int64_t>(report.sections.size())) + ", from line " +
          number(section.headerLine) + "</p>";
  html +=
      "<div class='figures'>" + figure("units", section.units, false) +
      figure("answered", section.answered, false) +
      figure("did not answer", section.units - section.answered, section.units > section.answered) +
      figure("applications", static_cast<int64_t>(summary.applications.size()), false) + "</div>\n";
  html += unansweredSection(summary) + "\n";
  html += versionCharts(summary) + "\n";
  html += biosChart(summary) + "\n";
  html += changesSection(changes) + "\n";
  html += sectionsSection(report, section.index) + "\n";
  html += std::string("<p class='note'>Made by vyr-report ") + version + "</p>";
  html += "</main></body></html>\n";
  return html;
}

}  // namespace vyr
