#pragma once

#include <cstdint>
#include <memory>

#include "platform/files.h"
#include "survey/device_record.h"
#include "survey/record_index.h"

namespace vyr {

// Room for the list's name as the selector gives it (299 characters at a save, 799 at a resume; a
// name is never longer than 259).
constexpr int32_t LIST_NAME_BUFFER = 800;
constexpr int32_t FAILURE_TEXT_BUFFER = 160;

// Why the last start did not start a survey.
enum class StartRefusal : uint8_t {
  NONE,
  NO_ROWS,      // the list view is empty
  NO_MEMORY,    // the table could not be had
  LIST_BUSY,    // another survey of the same list runs (its report is locked); see startProblem
  CANNOT_SAVE,  // the report or the progress file cannot be written (only when the front-end asks
                // for the check, see SurveyContext::refuseUnsavableStart); see startProblem
};

// How the last save went, file by file. A failure names the system's reason.
struct SaveOutcome {
  bool reportSaved = false;
  bool progressSaved = false;
  char reportFailure[FAILURE_TEXT_BUFFER] = "";
  char progressFailure[FAILURE_TEXT_BUFFER] = "";
};

// The state of one survey, shared by the lifecycle, the report and progress files and the
// protocol (which keeps its own per-record bookkeeping, see protocol/survey_records.h). A survey is running exactly while `deviceTable` holds a table.
struct SurveyState {
  std::unique_ptr<DeviceRecord[]> deviceTable;  // record i belongs to list row i
  int32_t deviceCount = 0;        // zero whenever the table is absent
  int32_t reportOffset = -1;      // start of this survey's report section; -1: append a new one
  uint32_t lastReceive = 0;       // tick of the last accepted unit frame
  SocketAddress serverAddress{};  // all zero while no IP server is named

  // Counts the surveys started. Queued datagrams name the survey whose record they stamp, so a
  // datagram that outlives its survey never stamps a record of the next one.
  uint32_t surveyNumber = 0;

  // Whether the last save wrote the report section and the progress file in full, and how each
  // file fared.
  bool lastSaveSaved = false;
  SaveOutcome lastSave;

  // The list the survey was started from, as the selector named it then: its report and progress
  // file are named from it at every save, whatever the selector shows by then.
  char listName[LIST_NAME_BUFFER] = "";
  // One survey of a list at a time: the lock of its report, held from the start to the release
  // of the table. Null while no survey runs, or when the report could not be opened to lock it.
  std::unique_ptr<FileLock> listLock;
  // Whether taking the lock created the report (it was not there yet).
  bool lockCreatedReport = false;

  StartRefusal startRefusal = StartRefusal::NONE;
  // For LIST_BUSY, who holds the list where the system tells ("" otherwise); for CANNOT_SAVE, the
  // file that cannot be written and why ("north.model: Permission denied").
  char startProblem[2 * FAILURE_TEXT_BUFFER] = "";

  // Records before this index are known to be finished. Finished records stay finished for the
  // rest of a survey, so the completeness check resumes here instead of walking the whole table
  // after every modem reply.
  int32_t finishedPrefix = 0;

  // Lookups of the first record with an address, and with a serial and ID; kept with the table.
  RecordIndex byAddress;
  RecordIndex bySerialAndId;
};

}  // namespace vyr
