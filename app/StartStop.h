#pragma once

// The click on the start/stop button. Runs on the window thread after a
// click, and on the worker thread after a rejected pair.
void OnStartStopClicked();
