#include "base/outcome.h"

namespace loftswitch {

const char* outcomeName(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::updated: return "updated";
    case RunOutcome::unconfirmed: return "unconfirmed";
    case RunOutcome::rolledBack: return "rolled-back";
    case RunOutcome::nothingToDo: return "nothing-to-do";
    case RunOutcome::appStillRunning: return "app-still-running";
    case RunOutcome::busy: return "busy";
    case RunOutcome::failed: return "failed";
    case RunOutcome::refused: return "refused";
  }
  return "failed";
}

int exitCodeFor(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::updated:
    case RunOutcome::unconfirmed:
    case RunOutcome::nothingToDo: return 0;
    case RunOutcome::rolledBack: return 1;
    case RunOutcome::appStillRunning: return 3;
    case RunOutcome::busy: return 4;
    case RunOutcome::failed: return 2;
    case RunOutcome::refused: return 5;
  }
  return 2;
}

}  // namespace loftswitch
