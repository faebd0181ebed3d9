#pragma once
// The export's rendering of log files in the chosen format.

#include <cstdint>
#include <ostream>

#include "MultiFileStream/MultiFileInputStream.h"
#include "kivtool/ExportFile.h"
#include "kivtool/RecordRendering.h"

// Renders every block of `input` into `output` as `options` ask (format,
// filter), with progress on `progress` when `showProgress`. Returns the
// number of records written. A block that cannot be read ends the reading
// of its file only; after rendering everything else, raises naming every
// damaged file and the bytes skipped, and the blocks cut short by damage
// inside them.
uint64_t RenderRecords(KivBinaryMultiFileInputStream& input, ExportFile& output, const RenderOptions& options,
                       std::ostream& progress, bool showProgress);
