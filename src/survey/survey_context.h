#pragma once
// What the survey operations work on: the survey's state and the platform services they reach it
// through. The protocol's context extends it, and a front-end builds the whole Context over both.

#include <cstdint>
#include <functional>
#include <new>
#include <type_traits>

#include "platform/dialog.h"
#include "platform/files.h"
#include "platform/list_view.h"
#include "survey/survey_state.h"

namespace vyr {

// Returns a zeroed table of `count` records, or null when the memory cannot be had.
inline DeviceRecord* allocateDeviceTable(int32_t count) {
  return new (std::nothrow) DeviceRecord[static_cast<size_t>(count)]();
}

struct SurveyContext {
  SurveyContext(FileSystem& fileSystem, Dialog& mainDialog, ListView& listView)
      : files(fileSystem), dialog(mainDialog), list(listView) {}
  SurveyContext(const SurveyContext&) = delete;
  SurveyContext& operator=(const SurveyContext&) = delete;
  ~SurveyContext() = default;

  FileSystem& files;
  Dialog& dialog;
  ListView& list;

  SurveyState survey;

  // Whether a start refuses to run when its report or progress file cannot be written
  // (StartRefusal::CANNOT_SAVE). The dialog keeps the operator's way, a survey whose files cannot
  // be written simply saves nothing; the command asks, so as never to survey for nothing.
  bool refuseUnsavableStart = false;

  // Lines of the chosen list read in pieces (longer than 79 bytes, or ended by a carriage return
  // alone): each piece was read as a line of its own.
  int32_t listCutLines = 0;

  // How a survey start obtains its table; tests replace it to refuse the memory.
  DeviceRecord* (*allocateTable)(int32_t count) = allocateDeviceTable;

  // Called with the survey just before its table is released, after the save that ends it: a
  // front-end that reports the units keeps them here, since a survey that completes ends inside
  // the socket drain. It may take the table itself (moving deviceTable out) rather than copy it.
  // Empty for none.
  std::function<void(SurveyState& survey)> tableReleasing;

  // Called first whenever the table is released, set by the layer above, which may hold things it
  // writes from the table's records later (requests queued but not yet written as datagrams).
  std::function<void()> beforeTableRelease;
};

// The survey operations call nothing of the layers above: the protocol does its part before
// calling them.
static_assert(!std::is_polymorphic_v<SurveyContext>);

}  // namespace vyr
