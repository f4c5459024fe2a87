#pragma once
// The report (tab-separated text, one section per saved survey) and the progress file (the record
// table, so that an interrupted survey can be resumed), both beside the list file.

#include <cstddef>
#include <cstdint>

#include "survey/survey_context.h"
#include "survey/text.h"

namespace vyr {

constexpr const char* REPORT_ENDING = "model";
constexpr const char* PROGRESS_ENDING = "soFar";
constexpr const char* REPORT_HEADER =
    "IP\tSerial\tID\tBIOS\tApplication\tVersion\tModem ID\tESN\r\n";
constexpr int32_t PROGRESS_HEADER_SIZE = 8;

// The list file's name with its last three characters replaced by `ending` (north.IPs gives
// north.model). False when the name is shorter than three characters or the result would not fit.
bool makeSiblingName(const char* listName, const char* ending, char* out, size_t outSize);

// The report line of one record, carriage return and line feed included.
TextLine reportLine(const DeviceRecord& record);

// Writes the survey's report section (rewritten in place for a resumed survey, appended for a
// fresh one, the file cut after it) and then replaces the progress file. Needs a running survey.
// Returns whether both files were written in full, and keeps that in survey.lastSaveSaved.
bool saveReport(SurveyContext& context);

// Reads the progress file into the table and `reportOffset` when its size fits the table exactly.
// Returns whether the file was accepted; when it was not, neither has been changed.
bool loadProgress(SurveyContext& context);

}  // namespace vyr
