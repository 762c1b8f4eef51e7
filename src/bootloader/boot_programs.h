// Reloading the boot loader's programs: the main program is deleted, then the
// kernel and the run program are written from the boot directory.
#pragma once

#include <string>

#include "bootloader/protocol_context.h"
#include "cycle/port_slot.h"

namespace velloquin {

inline constexpr char kMainProgramName[] = "Main.sy_";    // printer side
inline constexpr char kKernelProgramName[] = "Kernel.sy_";
inline constexpr char kRunProgramName[] = "Run.sy_";
inline constexpr char kDeletingMainText[] = "Deleting main.sy_";

// Replaces the row's channel with a fresh one at 115200 8N1 on the port shown
// in its port box, unlocks, and sends the delete command for `printer_name`.
// Nothing is checked and no reply is read: always true.
bool DeletePrinterFile(const std::string& printer_name, PortSlot* slot,
                       const ProtocolContext& context);

// Deletes "Main.sy_" four times under the DTR pattern that walks the printer
// back into its boot loader, then sends the kernel and the run program (the
// "RunBaud.sy_" file when "Reset Baud Rate" is ticked). True when the run
// program went out.
bool LoadBootPrograms(PortSlot* slot, const ProtocolContext& context);

}  // namespace velloquin
