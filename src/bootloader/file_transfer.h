// Writes one local file, unchanged, into the boot loader's file store.
#pragma once

#include <string>

#include "bootloader/protocol_context.h"
#include "cycle/port_slot.h"

namespace velloquin {

// Status texts of the transfer, shown in the row's status text.
inline constexpr char kWaitingForPrinterText[] = "Waiting for printer to be ready.";
inline constexpr char kCannotTalkText[] = "Cannot talk to printer, check printer connection.";
inline constexpr char kCannotReadBootFileText[] = "Cannot read boot file: ";  // + local path
inline constexpr char kStartTransferText[] = " Start Transfer of : ";        // + printer-side name

// At most this many 1000-byte blocks go into one printer-side file.
inline constexpr int kMaxTransferBlocks = 10000;
// The boot loader is probed before every block whose number is a multiple of this.
inline constexpr int kProbeEveryBlocks = 30;

// Reopens the row's channel at 115200 8N1 on the port shown in its port box,
// unlocks and reaches the boot loader, opens `printer_name` for writing, sends
// `local_path` in blocks of up to 1000 bytes and closes the printer-side file.
// True when the close command went out.
bool TransferBootFile(PortSlot* slot, const ProtocolContext& context,
                      const std::string& printer_name, const std::string& local_path);

}  // namespace velloquin
