// Shows the list files of the working directory and the rows each one gives, exactly as the
// tool's list view will show them: a quick check of a list file before a survey.

#include <cstdio>
#include <memory>
#include <string_view>

#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_list_view.h"
#include "platform/posix/posix_files.h"
#include "survey/list_files.h"
#include "survey/survey_context.h"

int main() {
  std::unique_ptr<vyr::FileSystem> files = vyr::openPosixFileSystem(".");
  if (!files) {
    std::fprintf(stderr, "cannot read the working directory\n");
    return 1;
  }
  vyr::MemoryDialog dialog;
  vyr::MemoryListView list;
  vyr::SurveyContext context(*files, dialog, list);

  vyr::fillListSelector(context);
  if (dialog.selectorItems.empty()) {
    std::printf("No *.IPs list file in this directory.\n");
    return 0;
  }
  for (size_t i = 0; i < dialog.selectorItems.size(); ++i) {
    dialog.select(i);
    vyr::chooseListFile(context);
    std::printf("%s: %d unit(s)\n", dialog.selectorItems[i].c_str(), list.rowCount());
    for (int32_t row = 0; row < list.rowCount(); ++row) {
      const std::string_view text = list.row(row);
      std::printf("  %.*s\n", static_cast<int>(text.size()), text.data());
    }
  }
  return 0;
}
