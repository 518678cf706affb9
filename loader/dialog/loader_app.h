#pragma once
// The application object: runs the main dialog modally; the program ends when it closes.
//
// Options for unattended runs (scripts/run on a machine without a display):
//   --select-on-start       press "Select Device" once the dialog is up
//   --screenshot PATH       after that, save a PNG picture of the dialog at PATH and print PATH
//   --quit-after-screenshot close the dialog once the picture is saved
// With --screenshot, status reports go to standard error instead of message boxes.

namespace vortlink::loader {

class LoaderApp {
  public:
    int run(int argc, char **argv);
};

} // namespace vortlink::loader
