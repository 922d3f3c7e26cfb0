#include "app/StartStop.h"

// The start/stop control arrives together with the monitoring worker; until
// then a click has nothing to start.
void OnStartStopClicked() {}
