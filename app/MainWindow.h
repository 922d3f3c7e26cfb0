#pragma once
// The program's entry and its only window.

#include "platform/ui/Window.h"

// The main window: caption, size, and the table of its controls.
platform::WindowDesc MainWindowDescription();

// The main window's created event: runs once on the window thread, before the
// window is shown.
void OnMainWindowCreated();

// Starts the platform, loads the main window and runs the message loop until
// the window is closed. Returns 0.
int RunApplication();
