#pragma once
// The export's rendering of log files in the chosen format.

#include <cstdint>
#include <ostream>

#include "MultiFileStream/MultiFileInputStream.h"
#include "kivtool/ExportFile.h"
#include "kivtool/RecordRendering.h"

// Renders every block of `input` into `output` as `options` ask (format,
// filter), with progress on `progress` when `showProgress`. Returns the
// number of records written. Raises when a block cannot be read (the export
// stops there) or, after rendering everything else, when blocks were cut
// short by damage inside them; the message names the file concerned.
uint64_t RenderRecords(KivBinaryMultiFileInputStream& input, ExportFile& output, const RenderOptions& options,
                       std::ostream& progress, bool showProgress);
