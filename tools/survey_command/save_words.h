#pragma once
// How vyr-survey words the fate of a survey's two files at its end.

#include <string>

#include "core/survey_driver.h"

namespace vyr {

// "saved R and P" when both were written in full; otherwise the file or files that failed with
// the system's reason ("could not write R: No space left on device; saved P"). Without a
// file-by-file account of the save (an empty `outcome`), "could not write R and P in full".
std::string saveWords(bool saved, const SaveOutcome& outcome, const std::string& report,
                      const std::string& progress);

}  // namespace vyr
