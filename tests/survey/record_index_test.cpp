// Catches an index that answers differently from a walk of the table: a later record winning over
// an earlier one with the same key, or a record still found under a key it no longer has.

#include "survey/record_index.h"

#include <gtest/gtest.h>

#include <random>

#include "support/survey_fixture.h"
#include "survey/lifecycle.h"

namespace vyr::testing {
namespace {

int32_t firstByAddress(const SurveyState& survey, const uint8_t ip[4]) {
  for (int32_t i = 0; i < survey.deviceCount; ++i) {
    if (std::memcmp(survey.deviceTable[i].address.ip, ip, 4) == 0) return i;
  }
  return -1;
}

int32_t firstBySerialAndId(const SurveyState& survey, uint32_t serial, std::string_view id) {
  for (int32_t i = 0; i < survey.deviceCount; ++i) {
    const DeviceRecord& record = survey.deviceTable[i];
    if (record.serial == serial && fieldText(record.id) == id) return i;
  }
  return -1;
}

struct RecordIndexTest : SurveyFixture {
  std::mt19937 random{5};
  const char* ids[4] = {"", "A", "AB", "ABCDEFGH"};
  // Few keys make long chains; many make keys lose their records all the time, so slots are
  // reused, cleaned up and grown.
  uint32_t spread = 3;

  void randomise(DeviceRecord& record) {
    const auto value = static_cast<uint32_t>(random() % spread);
    const uint8_t ip[4] = {10, 0, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    setSocketAddress(record.address, ip, DEVICE_PORT);
    record.serial = static_cast<uint32_t>(random() % spread);
    setFieldText(record.id, ids[random() % 4]);
  }

  // Every key a record has, and some no record has.
  void expectAgreement(int step) {
    SurveyState& survey = context.survey;
    for (int32_t i = -1; i < survey.deviceCount; ++i) {
      const DeviceRecord probe = i >= 0 ? survey.deviceTable[i] : DeviceRecord{};
      for (uint8_t near = 0; near < 2; ++near) {
        const uint8_t ip[4] = {probe.address.ip[0], probe.address.ip[1], probe.address.ip[2],
                               static_cast<uint8_t>(probe.address.ip[3] + near)};
        ASSERT_EQ(findRecordByAddress(survey, ip), firstByAddress(survey, ip)) << "step " << step;
        const uint32_t serial = probe.serial + near;
        ASSERT_EQ(findRecordBySerialAndId(survey, serial, fieldText(probe.id)),
                  firstBySerialAndId(survey, serial, fieldText(probe.id)))
            << "step " << step;
      }
    }
    EXPECT_EQ(findRecordBySerialAndId(survey, 0, "ABCDEFGHI"), -1) << "longer than any ID";
  }
};

TEST_F(RecordIndexTest, AgreesWithAWalkOfTheTableWhileKeysChange) {
  std::string rows;
  for (int i = 0; i < 60; ++i) rows += "10.0.0.1\n";
  chooseList("a.IPs", rows);
  // Indexed at once, or by the first lookup after keys changed while nothing was indexed.
  for (const uint32_t keys : {3U, 5000U}) {
    for (const bool atOnce : {true, false}) {
      SCOPED_TRACE(::testing::Message() << keys << " values a field, "
                                        << (atOnce ? "indexed at once" : "indexed when looked up"));
      spread = keys;
      startProtocolSurvey(context, StartMode::FRESH);
      SurveyState& survey = context.survey;
      for (int32_t i = 0; i < survey.deviceCount; ++i) randomise(survey.deviceTable[i]);
      if (atOnce) indexRecords(survey);
      for (int step = 0; step < 3000; ++step) {
        const auto index = static_cast<int32_t>(random() % survey.deviceCount);
        randomise(survey.deviceTable[index]);
        recordKeysChanged(survey, index);
        expectAgreement(step);
        if (step == 1500) survey.byAddress.usable = survey.bySerialAndId.usable = false;
      }
      stopSurvey(context);
    }
  }
}

}  // namespace
}  // namespace vyr::testing
