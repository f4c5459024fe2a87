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

// Writes all `size` bytes in chunks; false at the first failed or short write.
bool writeAll(FileHandle& file, const void* data, int64_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    int32_t chunk = size < IO_CHUNK ? static_cast<int32_t>(size) : IO_CHUNK;
    if (file.write(bytes, chunk) != chunk) return false;
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

// Writes the header and every record's line; false when a write failed or fell short. Lines are
// gathered into larger writes, which gives the same bytes as one write per line at a small
// fraction of the calls. A failed write does not stop the others: what lands is what a
// line-by-line writer would have left.
bool writeSection(FileHandle& report, const SurveyState& survey) {
  std::string_view header = REPORT_HEADER;
  bool complete = writeAll(report, header.data(), static_cast<int64_t>(header.size()));
  char batch[32 * 1024];
  int32_t used = 0;
  for (int32_t i = 0; i < survey.deviceCount; ++i) {
    TextLine line = reportLine(survey.deviceTable[i]);
    if (used + line.length > static_cast<int32_t>(sizeof batch)) {
      complete = writeAll(report, batch, used) && complete;
      used = 0;
    }
    std::memcpy(batch + used, line.text, static_cast<size_t>(line.length));
    used += line.length;
  }
  if (used > 0) complete = writeAll(report, batch, used) && complete;
  return complete;
}

// Writes the progress file's header and table to `file` and closes it; false unless all of it
// reached the storage device.
bool writeProgressFile(const SurveyState& survey, FileHandle& file) {
  ProgressHeader header{};
  header.reportOffset = static_cast<uint32_t>(survey.reportOffset);
  header.deviceCount = static_cast<uint32_t>(survey.deviceCount);
  bool complete = writeAll(file, &header, sizeof header) &&
                  writeAll(file, survey.deviceTable.get(),
                           static_cast<int64_t>(sizeof(DeviceRecord)) * survey.deviceCount) &&
                  file.sync();
  return file.close() && complete;
}

// Replaces the progress file. The table is written to a temporary file beside it, which is
// renamed over the old one only once it is complete, so a crash or a full disk during a save
// leaves the old file or the new one, never a torn one. The rename keeps the old file's access
// rights and never replaces a file the user may not write.
bool writeProgress(SurveyContext& context, const char* progressName) {
  char temporaryName[FILE_NAME_BUFFER];
  const int nameLength =
      std::snprintf(temporaryName, sizeof temporaryName, "%s%s", progressName, TEMPORARY_ENDING);
  if (nameLength < 0 || static_cast<size_t>(nameLength) >= sizeof temporaryName) return false;

  const SurveyState& survey = context.survey;
  // Whatever a crash left under the temporary name goes first: a link placed there would
  // otherwise have its target emptied and written over.
  context.files.remove(temporaryName);
  if (std::unique_ptr<FileHandle> temporary = context.files.create(temporaryName)) {
    if (writeProgressFile(survey, *temporary) &&
        context.files.rename(temporaryName, progressName)) {
      return true;
    }
    context.files.remove(temporaryName);
    return false;
  }
  // No new file can be made beside it (a folder whose files may be written but that takes no new
  // ones): the file is written in place. A crash during this write can tear it, which the size
  // test of the next resume refuses; keeping the old offset instead would let that resume cut
  // away the section this save has just written.
  std::unique_ptr<FileHandle> progress = context.files.create(progressName);
  return progress && writeProgressFile(survey, *progress);
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

bool saveReport(SurveyContext& context) {
  SurveyState& survey = context.survey;
  survey.lastSaveSaved = false;
  if (!survey.deviceTable || survey.deviceCount < 1) return false;
  context.settleTable();

  // The list the survey started from, at most 299 characters of it as a save reads the name.
  char listName[SAVE_NAME_BUFFER];
  copyBounded(survey.listName, listName, static_cast<int32_t>(sizeof listName));
  char reportName[FILE_NAME_BUFFER];
  char progressName[FILE_NAME_BUFFER];
  if (!makeSiblingName(listName, REPORT_ENDING, reportName, sizeof reportName) ||
      !makeSiblingName(listName, PROGRESS_ENDING, progressName, sizeof progressName)) {
    return false;
  }

  std::unique_ptr<FileHandle> report = context.files.openForWriting(reportName);
  int64_t sectionStart = 0;
  if (report) {
    sectionStart = survey.reportOffset >= 0 ? report->seek(survey.reportOffset, SeekFrom::START)
                                            : report->seek(0, SeekFrom::END);
  } else {
    report = context.files.create(reportName);
    if (!report) return false;
  }
  // A section must start where the offset can record it; if the report cannot be positioned,
  // nothing is saved rather than a section written over the earlier ones.
  if (sectionStart < 0 || sectionStart > std::numeric_limits<int32_t>::max()) return false;
  survey.reportOffset = static_cast<int32_t>(sectionStart);

  // A report that did not land whole is still followed by its progress file: the progress file
  // records where the section starts, which a later resume needs to rewrite it in place.
  bool saved = writeSection(*report, survey);
  saved = report->truncate() && saved;
  saved = report->close() && saved;
  saved = writeProgress(context, progressName) && saved;
  survey.lastSaveSaved = saved;
  return saved;
}

bool loadProgress(SurveyContext& context) {
  SurveyState& survey = context.survey;
  const char* listName = survey.listName;
  char progressName[FILE_NAME_BUFFER];
  char reportName[FILE_NAME_BUFFER];
  if (!makeSiblingName(listName, PROGRESS_ENDING, progressName, sizeof progressName) ||
      !makeSiblingName(listName, REPORT_ENDING, reportName, sizeof reportName)) {
    return false;
  }

  std::unique_ptr<FileHandle> file = context.files.openForReading(progressName);
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
  if (survey.reportOffset >= 0 && laterSectionFollows(context, reportName, survey.reportOffset)) {
    survey.reportOffset = -1;
  }
  return true;
}

}  // namespace vyr
