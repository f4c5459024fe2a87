// Catches a summary that says "saved" for a file that failed, names the wrong file or drops the
// system's reason, or breaks when the save gave no file-by-file account.

#include "survey_command/save_words.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace vyr {
namespace {

SaveOutcome outcome(bool report, bool progress, const char* reportWhy, const char* progressWhy) {
  SaveOutcome made;
  made.reportSaved = report;
  made.progressSaved = progress;
  std::snprintf(made.reportFailure, sizeof made.reportFailure, "%s", reportWhy);
  std::snprintf(made.progressFailure, sizeof made.progressFailure, "%s", progressWhy);
  return made;
}

TEST(SaveWordsTest, NamesTheFileThatFailedAndWhy) {
  const struct {
    bool saved = false;
    SaveOutcome outcome{};
    const char* words = nullptr;
  } cases[] = {
      {true, outcome(true, true, "", ""), "saved n.model and n.soFar"},
      // Until the save gives its account, both files are named together.
      {false, SaveOutcome{}, "could not write n.model and n.soFar in full"},
      {false, outcome(false, true, "No space left on device", ""),
       "could not write n.model: No space left on device; saved n.soFar"},
      {false, outcome(true, false, "", "Permission denied"),
       "could not write n.soFar: Permission denied; saved n.model"},
      {false, outcome(false, false, "a symbolic link", "Input/output error"),
       "could not write n.model: a symbolic link, nor n.soFar: Input/output error"},
      {false, outcome(false, false, "", "Permission denied"),
       "could not write n.model, nor n.soFar: Permission denied"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(saveWords(c.saved, c.outcome, "n.model", "n.soFar"), c.words);
  }
}

TEST(SaveWordsTest, AReasonFillingItsFieldIsReadNoFurther) {
  SaveOutcome full = outcome(true, false, "", "");
  for (char& c : full.progressFailure) c = 'x';
  const std::string words = saveWords(false, full, "n.model", "n.soFar");
  EXPECT_EQ(words, "could not write n.soFar: " + std::string(sizeof full.progressFailure, 'x') +
                       "; saved n.model");
}

}  // namespace
}  // namespace vyr
