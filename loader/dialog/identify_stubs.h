#pragma once
// Identification steps that belong to the configuration block and lighthead parts of the
// dialog. LoaderDialog calls them while it identifies a controller.

#include <cstdint>

#include "blocks/mfg_block.h"
#include "common/status.h"

namespace vortlink::loader {

class LoaderDialog;

// Reads the configuration block of the selected controller into the dialog's fields.
status_t ReadConfigBlock(LoaderDialog &dialog);
// Refreshes the "Lighthead Data" group from the controller; returns whether a record is loaded.
bool read_lighthead(LoaderDialog &dialog);

} // namespace vortlink::loader
