#pragma once

// Symbolising on the machine, for the report's last version before the callback: the image
// each of the crashed thread's frames is in, read from the loader's list, and its function
// where dbghelp's symbols name one (the DWARF inside an unstripped image under Wine; on Windows
// a PDB beside the image, or the export table). dbghelp takes memory from the heap and reads
// files, so it runs after the minidump, on the reporter's thread; a fault or a hang in it
// leaves the version written before.
#include <cstddef>
#include <cstdint>

#include "crash_part.h"

namespace sentry_lite {

// Finds dbghelp's symbol functions, off the crash's path: a crash then loads nothing and
// looks nothing up through the loader.
bool PrepareSymbolizer();

// Fills symbols[i] for frames[i] (innermost first, as WalkStack gives them): what is not
// known stays empty. The texts live in memory of this file's own until the next call.
void SymbolizeFrames(const uint64_t* frames, size_t count, FrameSymbol* symbols);

}  // namespace sentry_lite
