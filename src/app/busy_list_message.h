#pragma once
// What both dialogs tell the operator when a start finds its list surveyed already.

#include <string>

namespace vyr {

// "north.IPs is being surveyed already, by vyr-survey, process 1234.\n\nTry again when that
// survey has ended." The "by" part only where the system names the holder.
inline std::string busyListMessage(const char* listName, const char* holder) {
  std::string text = listName;
  text += " is being surveyed already";
  if (holder[0] != '\0') {
    text += ", by ";
    text += holder;
  }
  text += ".\n\nTry again when that survey has ended.";
  return text;
}

}  // namespace vyr
