// The window program as its entry point runs it: the signal handling, the application and the
// main window. Shared with the chaos campaign's driver, so that its runs meet the same program.
#pragma once

#include <functional>

class VKRCalibrator;

// Runs the window program until its window closes and returns its exit status; shown is called
// once the window is shown, before the event loop starts.
int runWindowProgram(int& argc, char* argv[], const std::function<void(VKRCalibrator&)>& shown = {});
