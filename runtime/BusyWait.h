#pragma once
// Waiting on the GUI thread without freezing the windows.
//
// Some handlers work synchronously on the GUI thread and take no user input
// until they end (the update check, the pauses between download pages).
// While such a handler waits (for the network, or for a pause to pass) it
// calls these, so that its windows keep painting and answering the desktop:
// the window manager's pings, close requests, the end of the session,
// timers and the end signals all go on being handled, and the desktop never
// calls the program hung. User input that arrives meanwhile (keys, mouse
// buttons, moves and wheel, touch and tablet, context menus, input methods,
// drag and drop) is dropped: it is never delivered later, to whatever the
// window shows by then.
//
// GUI thread only. Without an application object nothing is handled (the
// pause then just passes).
#include <functional>

// Handles the events that are waiting now, as above, and returns; at once
// when there are none.
void ProcessEventsWithoutInput();

// Pauses for `ms` milliseconds, handling events as above as they come.
// Returns earlier once `stop` (when given) holds after an event was handled.
void PauseWithoutInput(int ms, const std::function<bool()>& stop = {});
