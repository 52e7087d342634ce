// The GUI side of the linkhub program's main: the choice between the tray and
// headless operation, and the run with the tray.
#pragma once

namespace hubui {

// True when a display is named (DISPLAY or WAYLAND_DISPLAY) and the GUI
// platform comes up: a child process tries it, so that a platform that
// fails (and would abort) leaves this process untouched.
bool displayAvailable(int argc, char** argv);

// Runs the server with the tray and windows until Quit or a termination
// signal; the program's exit code.
int runGui(int argc, char** argv);

}  // namespace hubui
