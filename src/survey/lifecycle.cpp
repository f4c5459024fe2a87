#include "survey/lifecycle.h"

#include <cstring>
#include <memory>
#include <new>

#include "platform/bounded_copy.h"
#include "survey/list_files.h"
#include "survey/report_files.h"
#include "survey/row_forms.h"
#include "survey/scan.h"
#include "survey/text.h"

namespace vyr {
namespace {

constexpr int32_t SERVER_FIELD_BUFFER = 80;         // the server field is read with 79 characters
constexpr int32_t ROW_BUFFER = TEXT_LINE_CAPACITY;  // holds the longest row, 109 characters
constexpr uint8_t KNOWN_FLAGS = BY_SERIAL | RLE_OK | COMPLETE;

// The one place a table goes. Datagrams queued for its units may still wait to be sent; they name
// the survey they belong to, so no later flush stamps a record of another table.
void releaseTable(SurveyContext& context) {
  if (context.survey.deviceTable && context.beforeTableRelease) context.beforeTableRelease();
  if (context.survey.deviceTable && context.tableReleasing) context.tableReleasing(context.survey);
  releaseRecordIndexes(context.survey);
  context.survey.deviceTable.reset();
  context.survey.deviceCount = 0;
  context.survey.listLock.reset();
}

// Locks the list's report for the survey about to start, so that no other survey of the list (in
// this process or another, from the dialog or the command) saves over what this one saves. A list
// whose report cannot be opened runs unlocked, its saves cannot write the report either; FAILED
// then, with the reason in `reason`. HELD when another survey holds the lock.
LockResult lockList(SurveyContext& context, const char* reportName, char* reason) {
  SurveyState& survey = context.survey;
  survey.listLock.reset();
  survey.lockCreatedReport = false;
  std::unique_ptr<FileLock> lock;
  bool created = false;
  const LockResult result =
      context.files.lock(reportName, lock, created, survey.startProblem,
                         static_cast<int32_t>(sizeof survey.startProblem));
  if (result == LockResult::FAILED) {
    copyBounded(context.files.lastFailure(), reason, FAILURE_TEXT_BUFFER);
  }
  if (result != LockResult::TAKEN) return result;
  survey.listLock = std::move(lock);
  survey.lockCreatedReport = created;
  return result;
}

// For a front-end that asks for the check: whether the survey's files cannot be written as things
// stand, with the file and the reason in startProblem. The lock has opened the report for writing
// already; the progress file is tried without changing it.
// "<name>: <reason>", cut to the field.
void describeProblem(char* problem, size_t size, const char* name, const char* reason) {
  const auto field = static_cast<int32_t>(size);
  const int32_t used = copyBounded(name, problem, field);
  const int32_t more = copyBounded(": ", problem + used, field - used);
  copyBounded(reason, problem + used + more, field - used - more);
}

bool filesUnsavable(SurveyContext& context, const char* listName, const char* reportName,
                    LockResult locked, const char* lockFailure) {
  char* problem = context.survey.startProblem;
  const auto size = sizeof context.survey.startProblem;
  if (reportName[0] == '\0') {
    describeProblem(problem, size, listName, "the list's name gives no file name");
    return true;
  }
  if (locked == LockResult::FAILED) {
    describeProblem(problem, size, reportName,
                    lockFailure[0] != '\0' ? lockFailure : "the system gave no reason");
    return true;
  }
  return !progressFileWritable(context, listName, problem, static_cast<int32_t>(size));
}

void readServerAddress(SurveyContext& context) {
  SocketAddress& server = context.survey.serverAddress;
  std::memset(&server, 0, sizeof server);
  char text[SERVER_FIELD_BUFFER];
  context.dialog.serverFieldText(text, sizeof text);
  uint8_t ip[4];
  if (scanServerAddress(text, ip)) setSocketAddress(server, ip, SERVER_PORT);
}

// Whether a restored record belongs to the row: a serial row by its serial and ID, an address row
// by the address the fresh build would have made of it.
bool rowMatchesRecord(const char* row, const DeviceRecord& record) {
  if (isSerialRow(row)) {
    if (!(record.flags & BY_SERIAL)) return false;
    uint32_t serial = 0;
    char id[9] = "";
    if (scanSerialRow(row, serial, id) < 1) return false;
    return record.serial == serial && fieldText(record.id) == id;
  }
  if (record.flags & BY_SERIAL) return false;
  int32_t numbers[4];
  if (!scanAddressForm(row, numbers)) return false;
  if (familyOf(record.address) != ADDRESS_FAMILY_IPV4 || portOf(record.address) != DEVICE_PORT) {
    return false;
  }
  for (int i = 0; i < 4; ++i) {
    if (record.address.ip[i] != static_cast<uint8_t>(numbers[i])) return false;
  }
  return true;
}

bool rowsMatchTable(SurveyContext& context) {
  const SurveyState& survey = context.survey;
  for (int32_t i = 0; i < survey.deviceCount; ++i) {
    char row[ROW_BUFFER];
    context.list.rowText(i, row, sizeof row);
    if (!rowMatchesRecord(row, survey.deviceTable[i])) return false;
  }
  return true;
}

// Builds every record from its row alone and puts the rows back into their listed forms.
void freshBuild(SurveyContext& context) {
  SurveyState& survey = context.survey;
  std::memset(static_cast<void*>(survey.deviceTable.get()), 0,
              sizeof(DeviceRecord) * static_cast<size_t>(survey.deviceCount));
  for (int32_t i = 0; i < survey.deviceCount; ++i) {
    DeviceRecord& record = survey.deviceTable[i];
    char row[ROW_BUFFER];
    context.list.rowText(i, row, sizeof row);
    if (isSerialRow(row)) {
      uint32_t serial = 0;
      char id[9] = "";
      scanSerialRow(row, serial, id);
      record.serial = serial;
      setFieldText(record.id, id);
      record.flags = BY_SERIAL;
      showRow(context.list, i, [&record] { return listedSerialRow(record); });
    } else {
      int32_t numbers[4] = {0, 0, 0, 0};
      scanAddressForm(row, numbers);
      showRow(context.list, i, [&numbers] { return listedAddressRow(numbers); });
      uint8_t ip[4];
      for (int b = 0; b < 4; ++b) ip[b] = static_cast<uint8_t>(numbers[b]);
      setSocketAddress(record.address, ip, DEVICE_PORT);
    }
  }
}

// Continues the restored table: unfinished serial-listed units are located again.
void resumedBuild(SurveyContext& context) {
  SurveyState& survey = context.survey;
  for (int32_t i = 0; i < survey.deviceCount; ++i) {
    DeviceRecord& record = survey.deviceTable[i];
    record.flags &= KNOWN_FLAGS;  // a hand-made file may carry bits the tool never sets
    if ((record.flags & BY_SERIAL) && !(record.flags & COMPLETE)) {
      std::memset(record.address.ip, 0, sizeof record.address.ip);
    }
    showRow(context.list, i, [&record] { return resumedRow(record); });
  }
}

void setIdleAppearance(Dialog& dialog) {
  dialog.setExitCaption(EXIT_CAPTION);
  dialog.setControlsIdle(true);
}

}  // namespace

bool isSerialRow(const char* row) { return isWhiteSpace(row[0]); }

bool startSurvey(SurveyContext& context, StartMode mode) {
  SurveyState& survey = context.survey;
  survey.startRefusal = StartRefusal::NONE;
  survey.startProblem[0] = '\0';
  int32_t rows = context.list.rowCount();
  if (rows <= 0) {
    survey.startRefusal = StartRefusal::NO_ROWS;
    return false;
  }
  // Without its table a survey cannot run: the dialog stays idle, as if nothing was pressed.
  std::unique_ptr<DeviceRecord[]> table(context.allocateTable(rows));
  if (!table) {
    survey.startRefusal = StartRefusal::NO_MEMORY;
    return false;
  }

  // The survey's files are named from the list chosen now: the selector may be cleared, changed or
  // gone by the time the survey is saved.
  char listName[LIST_NAME_BUFFER];
  context.dialog.selectorText(listName, static_cast<int32_t>(sizeof listName));
  releaseTable(context);
  char reportName[LIST_NAME_BUFFER + 8] = "";
  char lockFailure[FAILURE_TEXT_BUFFER] = "";
  LockResult locked = LockResult::FAILED;
  if (!makeSiblingName(listName, REPORT_ENDING, reportName, sizeof reportName)) {
    reportName[0] = '\0';
  } else {
    locked = lockList(context, reportName, lockFailure);
  }
  if (locked == LockResult::HELD) {
    survey.startRefusal = StartRefusal::LIST_BUSY;
    return false;
  }
  // A refused start leaves every file as it was: a report the lock has just made goes again.
  if (context.refuseUnsavableStart &&
      filesUnsavable(context, listName, reportName, locked, lockFailure)) {
    if (survey.lockCreatedReport) context.files.remove(reportName);
    survey.listLock.reset();
    survey.lockCreatedReport = false;
    survey.startRefusal = StartRefusal::CANNOT_SAVE;
    return false;
  }
  std::memcpy(survey.listName, listName, sizeof listName);

  Dialog& dialog = context.dialog;
  dialog.setControlsIdle(false);
  dialog.setExitCaption(ABORT_CAPTION);
  dialog.focusExit();

  readServerAddress(context);
  survey.deviceTable = std::move(table);
  survey.deviceCount = rows;
  survey.reportOffset = -1;
  survey.finishedPrefix = 0;
  ++survey.surveyNumber;

  if (mode == StartMode::RESUME && loadProgress(context) && !rowsMatchTable(context)) {
    survey.reportOffset = -1;
  }
  const bool resumed = survey.reportOffset >= 0;
  if (resumed) {
    resumedBuild(context);
  } else {
    freshBuild(context);
  }
  // The records are indexed by their keys when first looked up, or by the start's next steps.
  if (resumed) checkComplete(context);  // a survey saved complete ends at once
  return true;
}

bool surveyComplete(SurveyContext& context) {
  SurveyState& survey = context.survey;
  if (!survey.deviceTable) return false;
  while (survey.finishedPrefix < survey.deviceCount &&
         isFinished(survey.deviceTable[survey.finishedPrefix])) {
    ++survey.finishedPrefix;
  }
  return survey.finishedPrefix == survey.deviceCount;
}

void checkComplete(SurveyContext& context) {
  if (surveyComplete(context)) finishSurvey(context);
}

bool finishSurvey(SurveyContext& context) {
  const bool saved = saveReport(context);
  releaseTable(context);
  setIdleAppearance(context.dialog);
  context.dialog.beep();
  return saved;
}

bool stopSurvey(SurveyContext& context) {
  if (!surveyRunning(context)) return false;
  const bool saved = saveReport(context);
  releaseTable(context);
  setIdleAppearance(context.dialog);
  return saved;
}

bool closeSurvey(SurveyContext& context) {
  if (!surveyRunning(context)) return false;
  const bool saved = saveReport(context);
  releaseTable(context);
  return saved;
}

}  // namespace vyr
