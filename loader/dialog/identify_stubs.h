#pragma once
// Identification steps that belong to the configuration block and lighthead parts of the
// dialog. LoaderDialog calls them while it identifies a controller.

#include <cstdint>

#include "common/status.h"

namespace vortlink::loader {

class LoaderDialog;

// Reads the configuration block of the selected controller into the dialog's fields.
status_t ReadConfigBlock(LoaderDialog &dialog);
// True for a manufacturing block with identifier 2 whose CRC-16 over bytes 2 to 127 matches the
// big-endian value in bytes 0 and 1.
bool IsValidMfgBlock(const uint8_t (&block)[128]);
// Refreshes the "Lighthead Data" group from the controller; returns whether a record is loaded.
bool read_lighthead(LoaderDialog &dialog);

} // namespace vortlink::loader
