// Application-wide input monitoring for the GTK shell. One hook placed in
// front of GTK's own event handling sees every event GDK delivers to this
// process, reports keyboard, mouse-button, motion, wheel and enter/leave
// events of the host's windows to the runtime's handlers, and passes every
// event on unchanged. Main thread only.
#pragma once

// Installs the hook; only the first call in the process does anything.
void InstallGlobalMonitors();
// Before GTK starts, while the process has one thread: asks ibus to answer
// key events at once, so that a key it takes can be reported as taken
// (unless the user's environment says otherwise).
void PrepareInputMethods();
// Puts GTK's own handler back and forgets any input state; the hook is not
// installed again afterwards.
void RemoveGlobalMonitors();
