#include "ItemStatus.h"

TItemStatus TItemStatus::Failed(const std::string& message) {
  TItemStatus s(TItemState::Error);
  s.Message = message.empty() ? std::string("Unknown error") : message;
  // The status is one line of the list.
  for (char& c : s.Message)
    if (c == '\r' || c == '\n') c = ' ';
  return s;
}

const char* ItemStateWord(TItemState state) {
  switch (state) {
    case TItemState::Waiting: return StatusWaiting;
    case TItemState::Skipped: return StatusSkipped;
    case TItemState::InProgress: return StatusInProgress;
    case TItemState::Finished: return StatusFinished;
    case TItemState::Error: return "Error";
    case TItemState::Canceled: return StatusCanceled;
  }
  return "";
}

std::string ItemStatusText(const TItemStatus& status) {
  if (status.State == TItemState::Error) return StatusErrorPrefix + status.Message;
  return ItemStateWord(status.State);
}
