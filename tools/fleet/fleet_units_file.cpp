// The units file, the rules a fleet obeys, and the list file that names the fleet to the tool.

#include <cstring>
#include <unordered_set>

#include "fleet/fleet_model.h"

namespace vyr::fleet {
namespace {

constexpr size_t ID_LIMIT = 8;
constexpr size_t APPLICATION_LIMIT = 8;
constexpr size_t MODEM_TEXT_LIMIT = 30;  // the whole field of the modem reply
constexpr uint32_t DELAY_LIMIT = 600000;
constexpr uint32_t FLOOD_LIMIT = 100000;  // datagrams a second

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::vector<std::string_view> splitWords(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isBlank(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !isBlank(line[i])) ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

bool parseNumber(std::string_view text, uint64_t limit, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  value = 0;
  for (char c : text) {
    if (!isDigit(c)) return false;
    auto digit = static_cast<uint64_t>(c - '0');
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

bool parseU32(std::string_view text, uint32_t limit, uint32_t& value) {
  uint64_t wide = 0;
  if (!parseNumber(text, limit, wide)) return false;
  value = static_cast<uint32_t>(wide);
  return true;
}

bool parseAddress(std::string_view text, uint8_t ip[4]) {
  for (int part = 0; part < 4; ++part) {
    size_t dot = part < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos || dot == 0 || dot > 3) return false;
    uint32_t number = 0;
    if (!parseU32(text.substr(0, dot), 255, number)) return false;
    ip[part] = static_cast<uint8_t>(number);
    text.remove_prefix(part < 3 ? dot + 1 : dot);
  }
  return true;
}

// "1.23", "-0.05", "3" or "2.5" as hundredths.
bool parseHundredths(std::string_view text, int16_t& value) {
  bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  size_t dot = text.find('.');
  std::string_view whole = text.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
  if (dot != std::string_view::npos && (fraction.empty() || fraction.size() > 2)) return false;
  uint32_t units = 0;
  uint32_t hundredths = 0;
  if (!parseU32(whole, 1000, units)) return false;
  if (!fraction.empty() && !parseU32(fraction, 99, hundredths)) return false;
  if (fraction.size() == 1) hundredths *= 10;
  auto total = static_cast<int32_t>(units * 100 + hundredths);
  if (negative) total = -total;
  if (total < -32768 || total > 32767) return false;
  value = static_cast<int16_t>(total);
  return true;
}

bool parseYesNo(std::string_view text, std::string_view yes, std::string_view no, bool& value) {
  if (text != yes && text != no) return false;
  value = text == yes;
  return true;
}

std::string dotted(const uint8_t ip[4]) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text += '.';
    text += std::to_string(ip[i]);
  }
  return text;
}

bool validId(std::string_view id) {
  if (id.empty() || id.size() > ID_LIMIT || !isLetter(id[0])) return false;
  for (char c : id) {
    if (!isLetter(c) && !isDigit(c) && c != '_' && c != '-' && c != '.') return false;
  }
  return true;
}

const char* unitFault(const UnitDescription& unit, const uint8_t serverIp[4]) {
  static const uint8_t LOCALHOST[4] = {127, 0, 0, 1};
  if (unit.ip[0] != 127 || unit.ip[3] == 0 || unit.ip[3] == 255) {
    return "address must be 127.x.y.z with z from 1 to 254";
  }
  if (std::memcmp(unit.ip, serverIp, 4) == 0 || std::memcmp(unit.ip, LOCALHOST, 4) == 0) {
    return "address belongs to the IP server";
  }
  if (!validId(unit.id))
    return "ID must be 1 to 8 letters, digits, '_', '-' or '.', a letter first";
  if (unit.application.size() > APPLICATION_LIMIT) return "application longer than 8";
  if (unit.modemId.size() > MODEM_TEXT_LIMIT) return "modem ID longer than 30";
  if (unit.esn.size() > MODEM_TEXT_LIMIT) return "ESN longer than 30";
  if (unit.lossPercent > 100) return "loss above 100 percent";
  if (unit.delayMs > DELAY_LIMIT) return "delay above 600000 ms";
  if (unit.listing == Listing::BY_SERIAL && !unit.runCoding) {
    return "a unit listed by serial is always run-coded";
  }
  return nullptr;
}

// The units' faults are reported by line when they come from a file, by position otherwise.
bool checkUnits(const FleetDescription& description, const std::vector<int>* lines,
                std::string& error) {
  auto where = [&](size_t index) {
    if (lines) return "line " + std::to_string((*lines)[index]) + ": ";
    return "unit " + std::to_string(index + 1) + " (" + description.units[index].id + "): ";
  };
  std::unordered_set<uint32_t> addresses;
  std::unordered_set<std::string> keys;
  addresses.reserve(description.units.size());
  keys.reserve(description.units.size());
  for (size_t i = 0; i < description.units.size(); ++i) {
    const UnitDescription& unit = description.units[i];
    if (const char* fault = unitFault(unit, description.serverIp)) {
      error = where(i) + fault;
      return false;
    }
    uint32_t number =
        static_cast<uint32_t>(unit.ip[0]) << 24 | unit.ip[1] << 16 | unit.ip[2] << 8 | unit.ip[3];
    if (!addresses.insert(number).second) {
      error = where(i) + "address " + dotted(unit.ip) + " used twice";
      return false;
    }
    if (!keys.insert(unit.id + '/' + std::to_string(unit.serial)).second) {
      error = where(i) + unit.id + '/' + std::to_string(unit.serial) + " used twice";
      return false;
    }
  }
  return true;
}

bool checkOptions(const FleetDescription& description, std::string& error) {
  if (description.serverIp[0] != 127) {
    error = "the server must have a 127.x.y.z address";
    return false;
  }
  const uint32_t percents[] = {description.duplicatePercent, description.latePercent,
                               description.wrongPortPercent, description.zeroLengthPercent,
                               description.oversizedPercent, description.garbagePercent,
                               description.serverLossPercent};
  for (uint32_t percent : percents) {
    if (percent > 100) {
      error = "a percentage above 100";
      return false;
    }
  }
  if (description.delayMs > DELAY_LIMIT || description.jitterMs > DELAY_LIMIT ||
      description.lateMs > DELAY_LIMIT) {
    error = "a delay above 600000 ms";
    return false;
  }
  if (description.floodPerSecond > FLOOD_LIMIT) {
    error = "a flood above 100000 datagrams a second";
    return false;
  }
  return true;
}

bool applyOption(FleetDescription& description, std::string_view key, std::string_view value) {
  struct Number {
    std::string_view key;
    uint32_t FleetDescription::*field;
    uint32_t limit;
  };
  static const Number NUMBERS[] = {
      {"delay", &FleetDescription::delayMs, DELAY_LIMIT},
      {"jitter", &FleetDescription::jitterMs, DELAY_LIMIT},
      {"duplicate", &FleetDescription::duplicatePercent, 100},
      {"late", &FleetDescription::latePercent, 100},
      {"late-ms", &FleetDescription::lateMs, DELAY_LIMIT},
      {"wrong-port", &FleetDescription::wrongPortPercent, 100},
      {"zero-length", &FleetDescription::zeroLengthPercent, 100},
      {"oversized", &FleetDescription::oversizedPercent, 100},
      {"garbage", &FleetDescription::garbagePercent, 100},
      {"server-loss", &FleetDescription::serverLossPercent, 100},
      {"flood", &FleetDescription::floodPerSecond, FLOOD_LIMIT},
  };
  for (const Number& number : NUMBERS) {
    if (key == number.key) return parseU32(value, number.limit, description.*number.field);
  }
  if (key == "seed") return parseNumber(value, UINT64_MAX, description.seed);
  if (key == "server") return parseAddress(value, description.serverIp);
  return false;
}

bool applyUnitKey(UnitDescription& unit, std::string_view key, std::string_view value) {
  uint32_t suffix = 0;
  if (key == "bios") return parseHundredths(value, unit.bios);
  if (key == "version") return parseHundredths(value, unit.appVersion);
  if (key == "suffix" && parseU32(value, 255, suffix)) {
    unit.suffix = static_cast<uint8_t>(suffix);
    return true;
  }
  if (key == "coding") return parseYesNo(value, "run", "plain", unit.runCoding);
  if (key == "loss") return parseU32(value, 100, unit.lossPercent);
  if (key == "delay") return parseU32(value, DELAY_LIMIT, unit.delayMs);
  if (key == "silent") return parseYesNo(value, "yes", "no", unit.silent);
  if (key == "server") return parseYesNo(value, "known", "unknown", unit.serverKnows);
  std::string* text = key == "application" ? &unit.application
                      : key == "modem"     ? &unit.modemId
                      : key == "esn"       ? &unit.esn
                                           : nullptr;
  if (text != nullptr) *text = value;
  return text != nullptr;
}

// Applies every key=value word; on a bad one names it in `error`.
template <typename Apply>
bool applyPairs(const std::vector<std::string_view>& words, size_t first, Apply apply,
                std::string& error) {
  for (size_t i = first; i < words.size(); ++i) {
    size_t equals = words[i].find('=');
    if (equals == std::string_view::npos ||
        !apply(words[i].substr(0, equals), words[i].substr(equals + 1))) {
      error = "cannot use '" + std::string(words[i]) + "'";
      return false;
    }
  }
  return true;
}

bool parseUnit(const std::vector<std::string_view>& words, UnitDescription& unit,
               std::string& error) {
  unit.listing = words[0] == "serial" ? Listing::BY_SERIAL : Listing::BY_ADDRESS;
  unit.runCoding = unit.listing == Listing::BY_SERIAL;
  if (words.size() < 4) {
    error = "a unit needs its address, ID and serial";
    return false;
  }
  if (!parseAddress(words[1], unit.ip)) {
    error = "bad address '" + std::string(words[1]) + "'";
    return false;
  }
  unit.id = words[2];
  if (!parseU32(words[3], UINT32_MAX, unit.serial)) {
    error = "bad serial '" + std::string(words[3]) + "'";
    return false;
  }
  // Appended rather than concatenated: GCC 12 at -O3 warns falsely (-Wrestrict) on "M" + text.
  const std::string serial = std::to_string(unit.serial);
  unit.modemId = std::string("M").append(serial);
  unit.esn = std::string("E").append(serial);
  auto apply = [&unit](std::string_view key, std::string_view value) {
    return applyUnitKey(unit, key, value);
  };
  return applyPairs(words, 4, apply, error);
}

}  // namespace

bool checkFleet(const FleetDescription& description, std::string& error) {
  return checkOptions(description, error) && checkUnits(description, nullptr, error);
}

bool parseFleet(std::string_view text, FleetDescription& description, std::string& error) {
  description = FleetDescription{};
  std::vector<int> lines;
  int lineNumber = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNumber;
    line = line.substr(0, line.find('#'));
    std::vector<std::string_view> words = splitWords(line);
    if (words.empty()) continue;
    bool good = true;
    if (words[0] == "option") {
      auto apply = [&description](std::string_view key, std::string_view value) {
        return applyOption(description, key, value);
      };
      good = applyPairs(words, 1, apply, error);
    } else if (words[0] == "address" || words[0] == "serial") {
      description.units.emplace_back();
      lines.push_back(lineNumber);
      good = parseUnit(words, description.units.back(), error);
    } else {
      error = "expected 'address', 'serial' or 'option', not '" + std::string(words[0]) + "'";
      good = false;
    }
    if (!good) {
      error.insert(0, "line " + std::to_string(lineNumber) + ": ");
      return false;
    }
  }
  return checkOptions(description, error) && checkUnits(description, &lines, error);
}

std::string listFileText(const FleetDescription& description) {
  // No slash and no dotted number in the comment: the tool would take either as a unit.
  std::string text = "# fleet list: " + std::to_string(description.units.size()) + " units\n";
  text.reserve(description.units.size() * 18 + text.size());
  for (const UnitDescription& unit : description.units) {
    if (unit.listing == Listing::BY_SERIAL) {
      text += unit.id + '/' + std::to_string(unit.serial);
    } else {
      text += dotted(unit.ip);
    }
    text += '\n';
  }
  return text;
}

}  // namespace vyr::fleet
