#pragma once
// IP list files ("*.IPs" in the working directory): one unit per line, named by its IPv4 address
// or by ID and serial, found as the first word of the line that reads as either form.

#include <cstdint>

#include "platform/files.h"
#include "platform/list_view.h"
#include "survey/survey_context.h"

namespace vyr {

constexpr const char* LIST_FILE_PATTERN = "*.IPs";
constexpr int32_t LIST_LINE_BUFFER = 80;  // lines are read in pieces of at most 79 bytes

// Offers every "*.IPs" entry of the working directory in the list selector, alphabetically.
void fillListSelector(SurveyContext& context);

// Reloads the list view from the list file named by the selector (at most 79 characters of it)
// and sets context.listCutLines to the number of its lines read in pieces (0 when none is read).
// A file that cannot be opened leaves the list view empty.
void chooseListFile(SurveyContext& context);

// Appends one row per entry found from the file's position to its end. Returns the number of
// lines read in pieces: lines with a piece that filled the buffer without a line feed while more
// bytes followed (a line over 79 bytes with its line feed, or lines ended by a carriage return
// alone). Each such line counts once however many pieces it took.
int32_t loadListFile(FileHandle& file, ListView& list);

// Whether a row of the list names its unit by ID and serial (it starts with white space), which
// only the IP server can locate, rather than by its address.
bool isSerialRow(const char* row);

// Reads the next line, or the next piece of at most `size` - 1 bytes of a longer one, into
// `buffer` and leaves the file positioned just after it. The line keeps its line feed; the text
// ends at its first NUL. Returns `buffer`, or null at the end of the file or on a read error.
char* readLine(char* buffer, int32_t size, FileHandle& file);

}  // namespace vyr
