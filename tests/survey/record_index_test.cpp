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

  void randomise(DeviceRecord& record) {
    const uint8_t ip[4] = {10, 0, 0, static_cast<uint8_t>(random() % 6)};
    setSocketAddress(record.address, ip, DEVICE_PORT);
    record.serial = static_cast<uint32_t>(random() % 3);
    setFieldText(record.id, ids[random() % 4]);
  }

  void expectAgreement(int step) {
    SurveyState& survey = context.survey;
    for (uint8_t last = 0; last < 7; ++last) {
      const uint8_t ip[4] = {10, 0, 0, last};
      ASSERT_EQ(findRecordByAddress(survey, ip), firstByAddress(survey, ip)) << "step " << step;
    }
    for (uint32_t serial = 0; serial < 4; ++serial) {
      for (const char* id : ids) {
        ASSERT_EQ(findRecordBySerialAndId(survey, serial, id),
                  firstBySerialAndId(survey, serial, id))
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
  for (const bool atOnce : {true, false}) {
    SCOPED_TRACE(atOnce ? "indexed at once" : "indexed when first looked up");
    startSurvey(context, StartMode::FRESH);
    SurveyState& survey = context.survey;
    for (int32_t i = 0; i < survey.deviceCount; ++i) randomise(survey.deviceTable[i]);
    if (atOnce) indexRecords(survey);
    for (int step = 0; step < 3000; ++step) {
      const auto index = static_cast<int32_t>(random() % survey.deviceCount);
      randomise(survey.deviceTable[index]);
      recordKeysChanged(survey, index);
      expectAgreement(step);
      if (step == 1500) survey.byAddress.usable = survey.bySerialAndId.usable = false;  // no memory
    }
    stopSurvey(context);
  }
}

}  // namespace
}  // namespace vyr::testing
