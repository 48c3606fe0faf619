#pragma once

#include <QStringList>

/// What an interrupt (SIGINT, SIGTERM, a console's Ctrl+C or close) does:
/// it removes the temporary files of the results being written, then the
/// program ends as the interrupt would end it.
namespace interrupts {

/// The exit status on Windows after Ctrl+C, Ctrl+Break or the console's
/// close: STATUS_CONTROL_C_EXIT, the system's own for an interrupted program.
constexpr unsigned int kInterruptedStatus = 0xC000013Au;

/// Takes the interrupts from here on. Called before any other thread
/// exists, so that every thread inherits the signal mask. Also makes a
/// closed pipe a write error to report rather than a silent end, and so
/// a write past the file size limit. An interrupt that comes during a
/// commit is acted on once the commit is done.
void handleInterrupts();

/// Called as the program ends with `status`, after its last commit: an
/// interrupt that came before is acted on first (the program then ends by
/// it); else answers `status`.
int settle(int status);

/// The results whose temporary files an interrupt removes from now on.
void setCleanupNames(const QStringList &names);

/// Removes the temporary files of the results named last; what an
/// interrupt runs before the program ends (on Windows it closes them first,
/// so nothing may use a result file afterwards).
void removeCurrentLeftovers();

} // namespace interrupts
