// The composition root of the Pomrel program.
#pragma once

namespace pomrel::qt {

// Runs Pomrel: makes the application and the backends (those of the
// simulated machine named by POMREL_MACHINE when it is set, otherwise those of
// the Linux host), creates the controller, loads the main
// interface resource from the bundle and connects it, delivers
// applicationDidFinishLaunching once the event loop runs, runs the loop until
// the application quits (Quit, SIGINT or SIGTERM), delivers
// applicationWillTerminate, and destroys the controller before the backends.
// With --help (or -h), prints the usage and the backend it would use to
// standard output and returns 0 without needing a display. Returns the
// process's exit status: 1, with a message on standard error, when the
// bundle is incomplete.
int NSApplicationMain(int argc, char** argv);

}  // namespace pomrel::qt
