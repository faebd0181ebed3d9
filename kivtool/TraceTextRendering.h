#pragma once
// The export's use of the trace text renderer.

#include <ostream>
#include <string>

#include "MultiFileStream/MultiFileInputStream.h"
#include "kivtool/ExportFile.h"

// Renders every block of `input` as text lines into `output`, with progress
// on `progress` when `showProgress`. Raises when a block cannot be read (the
// export stops there) or, after rendering everything else, when blocks were
// cut short by damage inside them; the message names the file concerned.
void RenderTraceText(KivBinaryMultiFileInputStream& input, ExportFile& output, const std::string& separator,
                     std::ostream& progress, bool showProgress);
