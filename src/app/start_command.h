#pragma once
// What the start buttons do, in the dialog and in the headless front-ends alike.

#include "protocol/scheduler.h"
#include "survey/context.h"
#include "survey/lifecycle.h"

namespace vyr {

// Starts a survey over the list rows with `button` (RESUME_BUTTON or NEW_BUTTON), then asks every
// unit at once. Without rows nothing happens.
inline void pressStart(Context& context, int button) {
  if (context.list.rowCount() <= 0) return;
  startSurvey(context, button);
  pollDevices(context, POLL_EVERYONE);
}

}  // namespace vyr
