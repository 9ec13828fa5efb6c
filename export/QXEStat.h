#pragma once
// The export family's message table and the texts that stand outside it.
// The progress window itself (TfrmQXEProcess) lives with the window and is
// reached through UiServices' CreateProgressWindow.
#include <string>

// Indices of the messages the components use.
enum : int {
  qxmPropertyNotSpecified = 0,   // "Property %s is not specified."
  qxmDBGridNotSupported = 1,     // "Assigned DBGrid (%s) is not a supported type"
  qxmFileGenerated = 2,          // "The %s file was successfully generated."
  qxmErrorInExport = 3,          // "Error in data export."
  qxmExportCompleted = 4,
  qxmCannotCreateFile = 5,       // "Could not create the %s file."
  qxmExporting = 8,              // "Exporting..."
  qxmCannotCreateDialog = 9,     // "Can't create a process dialog"
  qxmOK = 11,                    // "&OK"
  qxmCancel = 12,                // "&Cancel"
  qxmExportCanceled = 16,        // "Data export was canceled by user."
  qxmLastMessage = 172,
};

// The text of a message; empty for an index the table does not hold.
const std::string& QXEMessageText(int index);

// Texts of the family that are not in the table.
inline constexpr const char* QXEMaxRowCountText = "MS Excel spreadsheet can not contain more than %d rows";
inline constexpr const char* QXEMaxColCountText = "MS Excel spreadsheet can not contain more than %d columns";
inline constexpr const char* QXESendMailErrorText = "Error sending mail (";
// The Excel data sources of a database program that this one has none of.
inline constexpr const char* QXESourceNotAvailableText = "This data source is not available in this program.";

// Fills the first "%s" (or "%d") of a message with text.
std::string FormatMessageText(const std::string& pattern, const std::string& value);
