// Comparing the firmware a printer holds with a verification file: the boot
// loader's info text is fetched into the row's slot, then its four CRC sums
// are compared with those of the file.
#pragma once

#include <string>

#include "bootloader/protocol_context.h"
#include "cycle/port_slot.h"

namespace velloquin {

inline constexpr char kVerifyFailedText[] = " Verify Failed ";

// The keys, in the order they are compared.
inline constexpr const char* kVerifySumKeys[] = {"system crc", "control crc sum", "data crc sum",
                                                 "total crc sum"};

// Reopens the row's channel on `port_name` at 115200 8N1, unlocks, and reads
// the info reply into *slot->InfoText. True when a reply with "main.sy" was
// stored. A port that does not reopen sets the slot's State to Failed.
bool ReadBootLoaderInfo(PortSlot* slot, const ProtocolContext& context,
                        const std::string& port_name);

// Compares the four sums of the slot's InfoText with those of the file at
// `verify_path`. On any failure writes " Verify Failed " into *error_text and
// returns false; on success leaves it as it was.
bool VerifyFirmware(PortSlot* slot, const std::string& verify_path, std::string* error_text);

// The comparison itself, over two texts already in lower case.
bool SumsAgree(const std::string& info_text, const std::string& verification_text);

}  // namespace velloquin
