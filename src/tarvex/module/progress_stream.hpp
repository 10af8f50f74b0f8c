// The progress line through sys.stderr when that is not the process's fd 2 (a notebook, redirect_stderr).
#pragma once

namespace tarvex::py {

// Makes every bar that opens from now on ask where sys.stderr is: a bar whose
// sys.stderr is fd 2 (or None) draws on the terminal as before; any other
// stream gets the line through its write() and flush(). Called at import.
void route_progress_through_sys_stderr() noexcept;

}  // namespace tarvex::py
