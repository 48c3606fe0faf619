#pragma once

#include <functional>
#include <mutex>

namespace resultfiles {

/// Held by a commit from its journal to its end. A handler of interrupts
/// that removes leftovers takes it first, so that it never acts between two
/// renames.
std::mutex &commitLock();

/// For tests only: called before each step of a commit (each fsync, link,
/// rename and removal) with its number, counted from 1 for each commit, and
/// its kind ("sync", "journal", "folder", "backup", "rename", "unjournal",
/// "cleanup"). Answering true makes the step fail; the plan may also raise a
/// signal or abort there. Cleared with an empty function.
using FaultPlan = std::function<bool(int step, const char *kind)>;
void setFaultPlan(FaultPlan plan);

} // namespace resultfiles
