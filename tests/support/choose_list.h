#pragma once
// Choosing a list file as the operator does, for every test world.

#include <string>

#include "platform/memory/memory_dialog.h"
#include "survey/list_files.h"
#include "survey/survey_context.h"

namespace vyr::testing {

// Offers the directory's list files afresh and chooses `name`, which loads the list view; false,
// with the list view untouched, when the directory has no such list file.
inline bool chooseListNamed(SurveyContext& context, MemoryDialog& dialog, const std::string& name) {
  dialog.selectorItems.clear();
  fillListSelector(context);
  if (!dialog.selectItem(name)) return false;
  chooseListFile(context);
  return true;
}

}  // namespace vyr::testing
