#pragma once
// A whole survey world in memory: files, dialog, list view and the context over them.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/context.h"
#include "platform/memory/fake_clock.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_files.h"
#include "platform/memory/memory_list_view.h"
#include "platform/memory/memory_network.h"
#include "support/choose_list.h"

namespace vyr::testing {

struct SurveyFixture : ::testing::Test {
  MemoryFileSystem files;
  MemoryDialog dialog;
  MemoryListView list;
  FakeClock clock;
  MemoryNetwork network{clock};
  Context context{files, dialog, list, clock, network.toolSocket()};

  // Puts a list file in the directory and chooses it, as the operator would.
  void chooseList(const std::string& name, const std::string& text) {
    files.setContents(name, text);
    chooseListNamed(context, dialog, name);
  }

  DeviceRecord& record(int32_t index) { return context.survey.deviceTable[index]; }

  std::string file(const std::string& name) {
    const std::string* bytes = files.contents(name);
    return bytes ? *bytes : std::string("<missing>");
  }
};

inline void setIp(DeviceRecord& record, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t ip[4] = {a, b, c, d};
  setSocketAddress(record.address, ip, DEVICE_PORT);
}

// A record with the data a unit delivers, for report and row tests.
inline DeviceRecord makeRecord(std::vector<uint8_t> ip, uint32_t serial, const char* id,
                               int16_t bios, const char* application, int16_t appVersion,
                               uint8_t suffix, const char* modemId, const char* esn,
                               uint8_t flags) {
  DeviceRecord record{};
  setIp(record, ip[0], ip[1], ip[2], ip[3]);
  record.serial = serial;
  setFieldText(record.id, id);
  record.biosVersion = bios;
  setFieldText(record.application, application);
  record.appVersion = appVersion;
  record.versionSuffix = suffix;
  setFieldText(record.modemId, modemId);
  setFieldText(record.esn, esn);
  record.flags = flags;
  return record;
}

}  // namespace vyr::testing
