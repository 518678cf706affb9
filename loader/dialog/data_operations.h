#pragma once
// The steps of identification that read the configuration block and the lighthead; the
// manufacturing block's check comes with the block itself. The dialog's handlers for programming
// the blocks and the lighthead are its members, defined beside these steps.

#include "blocks/mfg_block.h"
#include "common/status.h"

namespace vortlink::loader {

class LoaderDialog;

// Shows the selected controller's configuration block in the "Configuration Data" fields, or
// the defaults when the block is not valid. Only a failed read is an error.
status_t ReadConfigBlock(LoaderDialog &dialog);
// Refreshes the "Lighthead Data" group and, once per device, the editor from the lighthead;
// returns whether the editor holds the record (or the defaults after a failed read).
bool read_lighthead(LoaderDialog &dialog);

} // namespace vortlink::loader
