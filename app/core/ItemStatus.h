#pragma once
// Where a work item stands, as a value: the state, and for an error its
// message. The published texts ("Waiting", "Error <message>", ...) are made
// only where a person or a file reads them (the list, the log, the report).
#include <cstdint>
#include <string>

// Status texts of the work list.
inline constexpr const char* StatusWaiting = "Waiting";
inline constexpr const char* StatusSkipped = "Skipped";
inline constexpr const char* StatusInProgress = "In progress";
inline constexpr const char* StatusFinished = "Finished";
inline constexpr const char* StatusErrorPrefix = "Error ";
// Stopped in the middle (Stop, SIGINT, SIGTERM); its outputs were taken back.
inline constexpr const char* StatusCanceled = "Canceled";

enum class TItemState : uint8_t {
  Waiting,     // to be converted by the next run
  Skipped,     // its output exists and overwriting is off
  InProgress,
  Finished,    // converted (perhaps with warnings)
  Error,       // failed; Message says why
  Canceled,    // stopped in the middle; its outputs were taken back
};

struct TItemStatus {
  TItemState State = TItemState::Waiting;
  // Error: why, on one line ("Unknown error" when nothing said why).
  std::string Message;

  TItemStatus() = default;
  TItemStatus(TItemState state) : State(state) {}  // NOLINT: a state is a status without message
  static TItemStatus Failed(const std::string& message);

  bool operator==(const TItemStatus&) const = default;
  bool operator==(TItemState state) const { return State == state; }
};

// The published text: "Waiting", "Skipped", "In progress", "Finished",
// "Error <message>", "Canceled".
std::string ItemStatusText(const TItemStatus& status);
// One word for reports and summaries: the text, "Error" for any error.
const char* ItemStateWord(TItemState state);
