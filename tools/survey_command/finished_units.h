#pragma once
// Counts the finished units of a running survey for the progress line, without walking the
// whole table at every count: a unit's row is rewritten whenever its record changes, and a unit
// stays finished once it is, so only the records of rows rewritten since the last count are
// looked at. A count also tells of each unit it finds finished for the first time, whose record
// is then final: the receiver leaves a complete record alone but for its send time.

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "platform/list_view.h"
#include "core/survey_driver.h"

namespace vyr {

// A list view over another one that notes which rows were rewritten.
class FinishedUnits final : public ListView {
 public:
  explicit FinishedUnits(ListView& rows) : rows_(rows) {}

  void addRow(const char* text) override { rows_.addRow(text); }
  int32_t rowCount() const override { return rows_.rowCount(); }
  int32_t rowText(int32_t index, char* buffer, int32_t size) const override {
    return rows_.rowText(index, buffer, size);
  }
  void replaceRow(int32_t index, const char* text) override;
  void clearRows() override;
  bool showsRows() const override { return rows_.showsRows(); }

  // Starts counting afresh over the current rows: a survey of them is about to start.
  void restart();

  // Looks at the records of the rows rewritten since the last call and returns how many units
  // are finished. Needs the survey's table; without one it returns the last count.
  int32_t count(const SurveyState& survey);

  // Called by count for each unit it finds finished for the first time since the restart, with
  // its row and record, in the order the rows were rewritten.
  void onFinished(std::function<void(int32_t index, const DeviceRecord& record)> call) {
    finishedCall_ = std::move(call);
  }

 private:
  static constexpr uint8_t PENDING = 1;          // rewritten since the last count
  static constexpr uint8_t FINISHED = 2;         // counted as finished
  static constexpr size_t KEPT_PENDING = 65536;  // room for rewritten rows kept between counts

  ListView& rows_;
  std::vector<uint8_t> marks_;   // per row
  std::vector<int32_t> pending_;  // rows with PENDING, each once
  int32_t finished_ = 0;
  std::function<void(int32_t, const DeviceRecord&)> finishedCall_;
};

}  // namespace vyr
