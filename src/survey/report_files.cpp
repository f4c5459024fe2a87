#include "survey/report_files.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

#include "platform/bounded_copy.h"
#include "survey/row_forms.h"
#include "survey/text.h"

namespace vyr {
namespace {

constexpr size_t SAVE_NAME_BUFFER = 300;    // the selector text is read with 299 characters
constexpr size_t FILE_NAME_BUFFER = LIST_NAME_BUFFER + 8;  // a resume reads it with 799
constexpr const char* TEMPORARY_ENDING = ".tmp";
constexpr int32_t IO_CHUNK = 1 << 20;

// Keeps in `reason` why the file layer's latest call failed, unless an earlier failure of the same
// file is kept there already, and returns false for the failing step to pass on.
bool noteFailure(FileSystem& files, char* reason) {
  if (reason[0] == '\0') {
    const char* why = files.lastFailure();
    copyBounded(why[0] != '\0' ? why : "the system gave no reason", reason, FAILURE_TEXT_BUFFER);
  }
  return false;
}

// Writes all `size` bytes in chunks; false at the first failed or short write.
bool writeAll(FileHandle& file, const void* data, int64_t size, FileSystem& files, char* reason) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    int32_t chunk = size < IO_CHUNK ? static_cast<int32_t>(size) : IO_CHUNK;
    if (file.write(bytes, chunk) != chunk) return noteFailure(files, reason);
    bytes += chunk;
    size -= chunk;
  }
  return true;
}

bool readAll(FileHandle& file, void* data, int64_t size) {
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
    int32_t chunk = size < IO_CHUNK ? static_cast<int32_t>(size) : IO_CHUNK;
    int32_t count = file.read(bytes, chunk);
    if (count <= 0) return false;
    bytes += count;
    size -= count;
  }
  return true;
}

// The progress file's first eight bytes; both counts are signed 32-bit values.
struct ProgressHeader {
  U32LE reportOffset;
  U32LE deviceCount;
};
static_assert(sizeof(ProgressHeader) == PROGRESS_HEADER_SIZE);

// Writes the header and every record's line; false at the first write that failed or fell short.
// Lines are gathered into larger writes, which gives the same bytes as one write per line at a
// small fraction of the calls.
bool writeSection(FileHandle& report, const SurveyState& survey, FileSystem& files, char* reason) {
  std::string_view header = REPORT_HEADER;
  if (!writeAll(report, header.data(), static_cast<int64_t>(header.size()), files, reason)) {
    return false;
  }
  char batch[32 * 1024];
  int32_t used = 0;
  for (int32_t i = 0; i < survey.deviceCount; ++i) {
    TextLine line = reportLine(survey.deviceTable[i]);
    if (used + line.length > static_cast<int32_t>(sizeof batch)) {
      if (!writeAll(report, batch, used, files, reason)) return false;
      used = 0;
    }
    std::memcpy(batch + used, line.text, static_cast<size_t>(line.length));
    used += line.length;
  }
  return used == 0 || writeAll(report, batch, used, files, reason);
}

// Writes the progress file's header and table to `file` and closes it; false unless all of it
// reached the storage device.
bool writeProgressFile(const SurveyState& survey, FileHandle& file, FileSystem& files,
                       char* reason) {
  ProgressHeader header{};
  header.reportOffset = static_cast<uint32_t>(survey.reportOffset);
  header.deviceCount = static_cast<uint32_t>(survey.deviceCount);
  const bool complete =
      writeAll(file, &header, sizeof header, files, reason) &&
      writeAll(file, survey.deviceTable.get(),
               static_cast<int64_t>(sizeof(DeviceRecord)) * survey.deviceCount, files, reason) &&
      (file.sync() || noteFailure(files, reason));
  const bool closed = file.close() || noteFailure(files, reason);
  return closed && complete;
}

// Cuts the report at `size`, where the section that did not land whole began (or at the report's
// old end, for a section placed past it).
void cutBack(FileHandle& report, int64_t size) {
  if (report.seek(size, SeekFrom::START) == size) report.truncate();
}

// The name of the temporary file a progress file is written to before it replaces it.
bool makeTemporaryName(const char* progressName, char* out, size_t outSize) {
  const int length = std::snprintf(out, outSize, "%s%s", progressName, TEMPORARY_ENDING);
  return length >= 0 && static_cast<size_t>(length) < outSize;
}

// Replaces the progress file. The table is written to a temporary file beside it, which is
// renamed over the old one only once it is complete, so a crash or a full disk during a save
// leaves the old file or the new one, never a torn one. The rename keeps the old file's access
// rights and never replaces a file the user may not write. `reason` gets why it failed.
bool writeProgress(SurveyContext& context, const char* progressName, char* reason) {
  char temporaryName[FILE_NAME_BUFFER];
  if (!makeTemporaryName(progressName, temporaryName, sizeof temporaryName)) {
    copyBounded("the name is too long", reason, FAILURE_TEXT_BUFFER);
    return false;
  }
  FileSystem& files = context.files;
  const SurveyState& survey = context.survey;
  // Whatever a crash left under the temporary name goes first (a link goes itself, never what it
  // points to); the file is then made only where nothing stands, so a link planted in between
  // is never written through.
  files.remove(temporaryName);
  if (std::unique_ptr<FileHandle> temporary = files.createNew(temporaryName)) {
    if (writeProgressFile(survey, *temporary, files, reason) &&
        (files.rename(temporaryName, progressName) || noteFailure(files, reason))) {
      return true;
    }
    files.remove(temporaryName);
    return false;
  }
  // No new file can be made beside it (a folder whose files may be written but that takes no new
  // ones): the file is written in place, where create refuses a link or another's file. A crash
  // during this write can tear it, which the size test of the next resume refuses; keeping the
  // old offset instead would let that resume cut away the section this save has just written.
  std::unique_ptr<FileHandle> progress = files.create(progressName);
  if (!progress) return noteFailure(files, reason);
  return writeProgressFile(survey, *progress, files, reason);
}

// Whether another section's header stands in the report after the section at `offset`: one saved
// after the progress file was (a save that could not replace the progress file, or a crash between
// the two writes). Resuming at `offset` would rewrite that earlier section and cut the later one
// away with everything after it.
bool laterSectionFollows(SurveyContext& context, const char* reportName, int32_t offset) {
  std::unique_ptr<FileHandle> report = context.files.openForReading(reportName);
  if (!report || report->seek(offset, SeekFrom::START) != offset) return false;
  // Every header but the first at `offset` follows a line end; no record line can hold one,
  // since its texts show their control bytes, line ends among them, as '?'.
  char marker[128] = "\n";
  std::strncat(marker, REPORT_HEADER, sizeof marker - 2);
  const std::string_view wanted = marker;
  char buffer[64 * 1024];
  size_t kept = 0;
  for (;;) {
    const int32_t count = report->read(buffer + kept, static_cast<int32_t>(sizeof buffer - kept));
    if (count <= 0) return false;
    const std::string_view text(buffer, kept + static_cast<size_t>(count));
    if (text.find(wanted) != std::string_view::npos) return true;
    // The end of this piece may hold the start of a header that the next piece completes.
    kept = text.size() < wanted.size() - 1 ? text.size() : wanted.size() - 1;
    std::memmove(buffer, buffer + text.size() - kept, kept);
  }
}

}  // namespace

bool makeSiblingName(const char* listName, const char* ending, char* out, size_t outSize) {
  size_t length = std::strlen(listName);
  if (length < 3) return false;
  size_t stem = length - 3;
  size_t endingLength = std::strlen(ending);
  if (stem + endingLength >= outSize) return false;
  std::memcpy(out, listName, stem);
  std::memcpy(out + stem, ending, endingLength + 1);
  return true;
}

TextLine reportLine(const DeviceRecord& record) {
  TextLine line;
  appendVersionColumns(line, record);
  // Empty trailing columns are left out: Modem ID appears when either text is there.
  std::string_view modemId = fieldText(record.modemId);
  std::string_view esn = fieldText(record.esn);
  if (!modemId.empty() || !esn.empty()) {
    line.append("\t");
    line.appendShown(modemId);
  }
  if (!esn.empty()) {
    line.append("\t");
    line.appendShown(esn);
  }
  line.append("\r\n");
  return line;
}

namespace {

// Nothing of the save is written: the report for `why` (unless a reason is noted already), and
// so the progress file neither.
bool saveNothing(SaveOutcome& outcome, const char* why) {
  if (outcome.reportFailure[0] == '\0') {
    copyBounded(why, outcome.reportFailure, FAILURE_TEXT_BUFFER);
  }
  copyBounded(PROGRESS_NOT_WRITTEN, outcome.progressFailure, FAILURE_TEXT_BUFFER);
  return false;
}

// Opens the report where the survey's section starts (`reportOffset`, or the end for a fresh
// survey; created anew when missing) and gives the section's start and the size up to which the
// report's bytes are the earlier ones. Null, with the reason noted, when it cannot.
std::unique_ptr<FileHandle> openSection(FileSystem& files, const char* reportName,
                                        int32_t reportOffset, int64_t& sectionStart,
                                        int64_t& keptSize, char* failure) {
  sectionStart = 0;
  keptSize = 0;
  std::unique_ptr<FileHandle> report = files.openForWriting(reportName);
  if (!report) {
    report = files.create(reportName);
    if (!report) noteFailure(files, failure);
    return report;
  }
  keptSize = report->seek(0, SeekFrom::END);
  sectionStart =
      reportOffset >= 0 && keptSize >= 0 ? report->seek(reportOffset, SeekFrom::START) : keptSize;
  if (sectionStart < 0) noteFailure(files, failure);
  // A section must start where the offset can record it; if the report cannot be positioned,
  // nothing is saved rather than a section written over the earlier ones.
  if (sectionStart < 0 || sectionStart > std::numeric_limits<int32_t>::max()) return nullptr;
  if (keptSize > sectionStart) keptSize = sectionStart;
  return report;
}

// The names of the survey's two files beside `listName`; false when either cannot be made.
struct SiblingNames {
  char report[FILE_NAME_BUFFER];
  char progress[FILE_NAME_BUFFER];
};

bool makeSiblingNames(const char* listName, SiblingNames& names) {
  return makeSiblingName(listName, REPORT_ENDING, names.report, sizeof names.report) &&
         makeSiblingName(listName, PROGRESS_ENDING, names.progress, sizeof names.progress);
}

}  // namespace

bool saveReport(SurveyContext& context) {
  SurveyState& survey = context.survey;
  SaveOutcome& outcome = survey.lastSave;
  outcome = SaveOutcome{};
  survey.lastSaveSaved = false;
  if (!survey.deviceTable || survey.deviceCount < 1) {
    return saveNothing(outcome, "no survey is running");
  }
  FileSystem& files = context.files;

  // The list the survey started from, at most 299 characters of it as a save reads the name.
  char listName[SAVE_NAME_BUFFER];
  copyBounded(survey.listName, listName, static_cast<int32_t>(sizeof listName));
  SiblingNames names{};
  if (!makeSiblingNames(listName, names)) {
    return saveNothing(outcome, "the list's name gives no file name");
  }
  const char* reportName = names.report;

  int64_t sectionStart = 0;
  int64_t keptSize = 0;
  std::unique_ptr<FileHandle> report = openSection(files, reportName, survey.reportOffset,
                                                   sectionStart, keptSize, outcome.reportFailure);
  if (!report) return saveNothing(outcome, "too long for a section to start in it");
  survey.reportOffset = static_cast<int32_t>(sectionStart);

  // A section that did not land whole is cut away again, so the report holds the earlier bytes
  // and no part of it; the progress file that follows still records where the section starts,
  // which is where the next resume writes it.
  bool reportSaved = writeSection(*report, survey, files, outcome.reportFailure) &&
                     (report->truncate() || noteFailure(files, outcome.reportFailure));
  if (!reportSaved) cutBack(*report, keptSize);
  if (!report->close()) {
    noteFailure(files, outcome.reportFailure);
    // A failed close may have lost what was written (a network file system reports the errors of
    // its delayed writes there): the section goes through a handle of its own.
    if (reportSaved) {
      reportSaved = false;
      if (std::unique_ptr<FileHandle> again = files.openForWriting(reportName)) {
        cutBack(*again, keptSize);
        again->close();
      }
    }
  }
  outcome.reportSaved = reportSaved;
  outcome.progressSaved = writeProgress(context, names.progress, outcome.progressFailure);
  survey.lastSaveSaved = outcome.reportSaved && outcome.progressSaved;
  return survey.lastSaveSaved;
}

bool progressFileWritable(SurveyContext& context, const char* listName, char* problem,
                          int32_t problemSize) {
  FileSystem& files = context.files;
  const auto size = static_cast<size_t>(problemSize);
  char progressName[FILE_NAME_BUFFER];
  char temporaryName[FILE_NAME_BUFFER];
  if (!makeSiblingName(listName, PROGRESS_ENDING, progressName, sizeof progressName) ||
      !makeTemporaryName(progressName, temporaryName, sizeof temporaryName)) {
    std::snprintf(problem, size, "%s: the list's name gives no file name", listName);
    return false;
  }
  char reason[FAILURE_TEXT_BUFFER] = "";
  bool writable = false;
  if (std::unique_ptr<FileHandle> temporary = files.createNew(temporaryName)) {
    temporary->close();
    files.remove(temporaryName);
    // The save renames the temporary file over the progress file.
    writable = files.canReplace(progressName);
    if (!writable && files.openForWriting(progressName) == nullptr) noteFailure(files, reason);
  } else if (std::unique_ptr<FileHandle> progress = files.openForWriting(progressName)) {
    progress->close();
    writable = true;
  } else {
    noteFailure(files, reason);
    // Not there at all: whether it can be made is what matters, and the made file goes again.
    if (files.openForReading(progressName) == nullptr) {
      reason[0] = '\0';
      if (std::unique_ptr<FileHandle> made = files.createNew(progressName)) {
        made->close();
        files.remove(progressName);
        writable = true;
      } else {
        noteFailure(files, reason);
      }
    }
  }
  if (!writable) {
    std::snprintf(problem, size, "%s: %s", progressName,
                  reason[0] != '\0' ? reason : "may not be replaced");
  }
  return writable;
}

bool loadProgress(SurveyContext& context) {
  SurveyState& survey = context.survey;
  const char* listName = survey.listName;
  SiblingNames names{};
  if (!makeSiblingNames(listName, names)) return false;

  std::unique_ptr<FileHandle> file = context.files.openForReading(names.progress);
  if (!file) return false;
  int64_t tableSize = static_cast<int64_t>(sizeof(DeviceRecord)) * survey.deviceCount;
  if (file->seek(0, SeekFrom::END) != PROGRESS_HEADER_SIZE + tableSize) return false;

  ProgressHeader header{};
  if (file->seek(0, SeekFrom::START) != 0 || !readAll(*file, &header, sizeof header) ||
      !readAll(*file, survey.deviceTable.get(), tableSize)) {
    // A file that cannot be read whole is refused like one of the wrong size; the table was
    // zeroed when it was allocated and is zeroed again.
    std::memset(static_cast<void*>(survey.deviceTable.get()), 0, static_cast<size_t>(tableSize));
    return false;
  }
  survey.reportOffset = static_cast<int32_t>(static_cast<uint32_t>(header.reportOffset));
  if (static_cast<int32_t>(static_cast<uint32_t>(header.deviceCount)) != survey.deviceCount) {
    survey.reportOffset = -1;
  }
  // A progress file older than the report's last section starts the survey fresh, so that no
  // saved section is cut away.
  if (survey.reportOffset >= 0 && laterSectionFollows(context, names.report, survey.reportOffset)) {
    survey.reportOffset = -1;
  }
  return true;
}

}  // namespace vyr
