#include "survey_command/save_words.h"

#include <cstring>

namespace vyr {
namespace {

std::string failed(const std::string& name, const char* reason, size_t size) {
  const size_t length = strnlen(reason, size);
  return length == 0 ? name : name + ": " + std::string(reason, length);
}

}  // namespace

std::string saveWords(bool saved, const SaveOutcome& outcome, const std::string& report,
                      const std::string& progress) {
  if (saved) return "saved " + report + " and " + progress;
  const bool accounted = outcome.reportSaved || outcome.progressSaved ||
                         outcome.reportFailure[0] != '\0' || outcome.progressFailure[0] != '\0';
  if (!accounted) return "could not write " + report + " and " + progress + " in full";
  const std::string reportFailed =
      failed(report, outcome.reportFailure, sizeof outcome.reportFailure);
  const std::string progressFailed =
      failed(progress, outcome.progressFailure, sizeof outcome.progressFailure);
  if (outcome.reportSaved && !outcome.progressSaved) {
    return "could not write " + progressFailed + "; saved " + report;
  }
  if (outcome.progressSaved && !outcome.reportSaved) {
    return "could not write " + reportFailed + "; saved " + progress;
  }
  if (!outcome.reportSaved && !outcome.progressSaved) {
    return "could not write " + reportFailed + ", nor " + progressFailed;
  }
  // Both written by the account, yet the save as a whole failed: say so plainly.
  return "could not write " + report + " and " + progress + " in full";
}

}  // namespace vyr
