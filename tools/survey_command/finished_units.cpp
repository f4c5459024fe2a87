#include "survey_command/finished_units.h"

#include "core/survey_driver.h"

namespace vyr {

void FinishedUnits::replaceRow(int32_t index, const char* text) {
  rows_.replaceRow(index, text);
  if (index < 0 || static_cast<size_t>(index) >= marks_.size() || marks_[index] != 0) return;
  marks_[index] = PENDING;
  pending_.push_back(index);
}

void FinishedUnits::clearRows() {
  rows_.clearRows();
  restart();
}

void FinishedUnits::restart() {
  marks_.assign(static_cast<size_t>(rows_.rowCount()), 0);
  pending_.clear();
  finished_ = 0;
}

int32_t FinishedUnits::count(const SurveyState& survey) {
  if (!survey.deviceTable) return finished_;
  for (int32_t index : pending_) {
    marks_[index] = 0;
    if (index < survey.deviceCount && isFinished(survey.deviceTable[index])) {
      marks_[index] = FINISHED;
      ++finished_;
      if (finishedCall_) finishedCall_(index, survey.deviceTable[index]);
    }
  }
  // The start rewrites every row at once; a survey's later counts find a few hundred.
  if (pending_.capacity() > KEPT_PENDING) {
    std::vector<int32_t>().swap(pending_);
  } else {
    pending_.clear();
  }
  return finished_;
}

}  // namespace vyr
