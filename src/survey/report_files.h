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
// The progress file's failure when the report could not be written at all: nothing is written.
constexpr const char* PROGRESS_NOT_WRITTEN = "not written: the report could not be written";

// The list file's name with its last three characters replaced by `ending` (north.IPs gives
// north.model). False when the name is shorter than three characters or the result would not fit.
bool makeSiblingName(const char* listName, const char* ending, char* out, size_t outSize);

// The report line of one record, carriage return and line feed included.
TextLine reportLine(const DeviceRecord& record);

// Writes the survey's report section (rewritten in place for a resumed survey, appended for a
// fresh one, the file cut after it) and then replaces the progress file. Needs a running survey.
// A section that does not land whole is cut away again, leaving the report's earlier bytes as
// they were; the progress file still follows, recording where the section starts. A report that
// cannot be opened or positioned saves nothing. Returns whether both files were written in full,
// keeps that in survey.lastSaveSaved and how each file fared in survey.lastSave.
bool saveReport(SurveyContext& context);

// Whether a save could write the progress file of `listName` as things stand: a temporary file
// can be made beside it and may replace it, or, when none can be made, the file can be written in
// place. Leaves every file as it was. When not, `problem` gets "<file name>: <reason>".
bool progressFileWritable(SurveyContext& context, const char* listName, char* problem,
                          int32_t problemSize);

// Reads the progress file into the table and `reportOffset` when its size fits the table exactly.
// Returns whether the file was accepted; when it was not, neither has been changed.
bool loadProgress(SurveyContext& context);

}  // namespace vyr
