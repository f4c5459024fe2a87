#include "protocol/survey_records.h"

#include <new>

#include "protocol/protocol_context.h"

namespace vyr {

bool prepareSurveyRecords(ProtocolContext& context) {
  SurveyRecords& next = context.startRecords;
  next = SurveyRecords{};
  const int32_t rows = context.list.rowCount();
  if (rows <= 0) return true;
  const auto count = static_cast<size_t>(rows);
  next.state.reset(new (std::nothrow) RecordSendState[count]());
  if (next.state) return true;
  next = SurveyRecords{};
  context.survey.startRefusal = StartRefusal::NO_MEMORY;
  context.survey.startProblem[0] = '\0';
  return false;
}

void fitSurveyRecords(ProtocolContext& context) {
  const uint32_t running = surveyRunning(context) ? context.survey.surveyNumber : 0;
  if (running != 0 && context.records.survey != running && context.startRecords.state) {
    context.records = std::move(context.startRecords);
    context.records.survey = running;
  }
  context.startRecords = SurveyRecords{};
  if (running == 0) context.records = SurveyRecords{};
}

bool startProtocolSurvey(ProtocolContext& context, StartMode mode) {
  const bool started = prepareSurveyRecords(context) && startSurvey(context, mode);
  fitSurveyRecords(context);
  return started;
}

}  // namespace vyr
