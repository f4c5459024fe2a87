#include "report/report_diff.h"

#include <cstring>
#include <unordered_map>

namespace vyr {
namespace {

// The earlier section's units under one key, taken in order as the later section's units claim
// them; `next` only moves forward, so every lookup together stays linear.
struct Candidates {
  std::vector<size_t> units;
  size_t next = 0;
};

using KeyIndex = std::unordered_map<std::string, Candidates>;

bool located(const UnitRow& row) { return text(row.address) != "0.0.0.0"; }

std::string idKey(const UnitRow& row) {
  return std::string(text(row.id)) + "\t" + std::string(text(row.serial));
}

// The first unit under `key` not matched yet, or -1.
int64_t claim(KeyIndex& index, const std::string& key, const std::vector<bool>& matched) {
  auto found = index.find(key);
  if (found == index.end()) return -1;
  Candidates& candidates = found->second;
  while (candidates.next < candidates.units.size() && matched[candidates.units[candidates.next]]) {
    ++candidates.next;
  }
  if (candidates.next == candidates.units.size()) return -1;
  return static_cast<int64_t>(candidates.units[candidates.next++]);
}

struct Field {
  const char* name;
  std::string_view (*value)(const UnitRow&);
};

constexpr Field FIELDS[] = {
    {"IP", [](const UnitRow& r) { return text(r.address); }},
    {"Serial", [](const UnitRow& r) { return text(r.serial); }},
    {"ID", [](const UnitRow& r) { return text(r.id); }},
    {"BIOS", [](const UnitRow& r) { return text(r.bios); }},
    {"Application", [](const UnitRow& r) { return text(r.application); }},
    {"Version", [](const UnitRow& r) { return text(r.version); }},
    {"Modem ID", [](const UnitRow& r) { return text(r.modemId); }},
    {"ESN", [](const UnitRow& r) { return text(r.esn); }},
};

std::string number(int64_t value) { return value == 0 ? "" : std::to_string(value); }

}  // namespace

const char* changeName(Change change) {
  switch (change) {
    case Change::ADDED:
      return "added";
    case Change::GONE:
      return "gone";
    case Change::STOPPED:
      return "stopped answering";
    case Change::STARTED:
      return "started answering";
    case Change::CHANGED:
      return "changed";
  }
  return "";
}

std::string answerText(const UnitRow& row) {
  if (!answered(row)) return "no answer";
  return std::string(text(row.application)) + " " + std::string(text(row.version)) + ", BIOS " +
         std::string(text(row.bios));
}

namespace {

// For each unit of `to`, the unit of `from` it is (by address, then by ID and serial), or -1.
std::vector<int64_t> matchUnits(const std::vector<UnitRow>& from, const std::vector<UnitRow>& to,
                                std::vector<bool>& matched) {
  KeyIndex byAddress;
  KeyIndex byId;
  for (size_t i = 0; i < from.size(); ++i) {
    if (located(from[i])) byAddress[std::string(text(from[i].address))].units.push_back(i);
    if (from[i].id[0] != '\0') byId[idKey(from[i])].units.push_back(i);
  }
  matched.assign(from.size(), false);
  std::vector<int64_t> match(to.size(), -1);
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < to.size(); ++i) {
      if (pass == 0 && located(to[i])) {
        match[i] = claim(byAddress, std::string(text(to[i].address)), matched);
      } else if (pass == 1 && match[i] < 0 && to[i].id[0] != '\0') {
        match[i] = claim(byId, idKey(to[i]), matched);
      }
      if (match[i] >= 0) matched[static_cast<size_t>(match[i])] = true;
    }
  }
  return match;
}

using Groups = std::vector<DiffRow>[5];

void add(Groups& groups, Change change, const UnitRow& unit, std::string field, std::string before,
         std::string after, int64_t fromLine, int64_t toLine) {
  groups[static_cast<int>(change)].push_back(
      {change, unit, std::move(field), std::move(before), std::move(after), fromLine, toLine});
}

// What became of one unit found in both sections.
void compareUnit(Groups& groups, const UnitRow& was, const UnitRow& now) {
  const bool before = answered(was);
  const bool after = answered(now);
  if (before && !after) {
    // A silent unit listed by address has no ID or serial of its own: it had them before.
    UnitRow unit = now;
    if (unit.id[0] == '\0') {
      std::memcpy(unit.id, was.id, sizeof unit.id);
      std::memcpy(unit.serial, was.serial, sizeof unit.serial);
    }
    add(groups, Change::STOPPED, unit, "", answerText(was), answerText(now), was.line, now.line);
  } else if (!before && after) {
    add(groups, Change::STARTED, now, "", answerText(was), answerText(now), was.line, now.line);
  } else if (before && after) {
    for (const Field& field : FIELDS) {
      if (field.value(was) != field.value(now)) {
        add(groups, Change::CHANGED, now, field.name, std::string(field.value(was)),
            std::string(field.value(now)), was.line, now.line);
      }
    }
  }
}

}  // namespace

std::vector<DiffRow> diffSections(const std::vector<UnitRow>& from,
                                  const std::vector<UnitRow>& to) {
  std::vector<bool> matched;
  const std::vector<int64_t> match = matchUnits(from, to, matched);
  Groups groups;
  for (size_t i = 0; i < to.size(); ++i) {
    if (match[i] < 0) {
      add(groups, Change::ADDED, to[i], "", "", answerText(to[i]), 0, to[i].line);
    } else {
      compareUnit(groups, from[static_cast<size_t>(match[i])], to[i]);
    }
  }
  for (size_t i = 0; i < from.size(); ++i) {
    if (!matched[i])
      add(groups, Change::GONE, from[i], "", answerText(from[i]), "", from[i].line, 0);
  }
  std::vector<DiffRow> rows;
  for (auto& group : groups) {
    for (auto& row : group) rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<Table> diffTables(const std::string& from, const std::string& to,
                              const std::vector<DiffRow>& rows) {
  int64_t counts[5] = {};
  int64_t changedUnits = 0;
  const UnitRow* last = nullptr;
  for (const DiffRow& row : rows) {
    if (row.change != Change::CHANGED) {
      ++counts[static_cast<int>(row.change)];
    } else if (last == nullptr || last->line != row.unit.line) {
      ++changedUnits;  // a unit's changed fields come one after another
      last = &row.unit;
    }
  }
  Table totals{
      "comparison",
      "From " + from + " to " + to,
      {{"from", "From", false, false},
       {"to", "To", false, false},
       {"added", "Added", true},
       {"gone", "Gone", true},
       {"stopped", "Stopped answering", true},
       {"started", "Started answering", true},
       {"changed", "Changed", true}},
      {{from, to, std::to_string(counts[0]), std::to_string(counts[1]), std::to_string(counts[2]),
        std::to_string(counts[3]), std::to_string(changedUnits)}}};
  Table changes{"change",
                rows.empty() ? "No unit changed" : "Changes",
                {{"change", "Change"},
                 {"unit", "Unit"},
                 {"address", "IP", false, false},
                 {"id", "ID", false, false},
                 {"serial", "Serial", true, false},
                 {"field", "Field"},
                 {"old", "Old"},
                 {"new", "New"},
                 {"fromLine", "From line", true, false},
                 {"toLine", "To line", true, false}},
                {}};
  for (const DiffRow& row : rows) {
    changes.rows.push_back({changeName(row.change), unitName(row.unit),
                            std::string(text(row.unit.address)), std::string(text(row.unit.id)),
                            std::string(text(row.unit.serial)), row.field, row.before, row.after,
                            number(row.fromLine), number(row.toLine)});
  }
  std::vector<Table> tables;
  tables.push_back(std::move(totals));
  tables.push_back(std::move(changes));
  return tables;
}

}  // namespace vyr
