// What the Windows files of the OS layer share: the waits of the thread
// that owns the windows, which handle its messages while they wait.
#pragma once

#include <windows.h>

namespace os {

// Dispatches every message waiting for this thread.
void PumpMessages();
// Waits for handle (none: just the time) at most ms, handling messages
// meanwhile; true when the handle was signalled. With endOnCancel it also
// ends once the user asked for Cancel.
bool WaitHandleOrMessages(HANDLE handle, DWORD ms, bool endOnCancel = false);

}  // namespace os
