// Texts and the progress rule of the firmware download and of the wait for
// the flash.
#pragma once

#include <cstdint>
#include <string>

namespace velloquin {

inline constexpr char kOpeningDataFileText[] = "Opening Data File.";
inline constexpr char kFlashStartedText[] = "Flash Update Started. ";
inline constexpr char kProgressPrefix[] = "Flash Update In Progress, ";
inline constexpr char kProgressMiddle[] = "% Data Sent ";
inline constexpr char kFlashDoneText[] = "Flash Update DONE. ";
inline constexpr char kFileDownloadedText[] = "File Downloaded: ";
inline constexpr char kWaitingForFlashText[] =
    "Done Sending Data to Printer, Waiting for Printer to Finish Programming Flash Memory. ";

// Error texts, shown between "ERROR: " and " Press Button on Dongle to Retry".
inline constexpr char kFileOpenErrorText[] = "Firmware File Error !  Could not open file.";
inline constexpr char kBaudShiftFailedText[] = "Baud Rate Shift Failed.";
inline constexpr char kReopenFailedText[] = "Could not re-open port.";
inline constexpr char kZeroLengthText[] = "Zero length file error !";
inline constexpr char kShutdownAbortedText[] = "Program Shutdown; Flash Update ABORTED.";
inline constexpr char kOutputErrorText[] = "Flash Programming Error, cannot output data !";
inline constexpr char kDisconnectAbortedText[] = "Printer Disconnected; Flash Update ABORTED.";
inline constexpr char kQueryReopenFailedText[] = "Could not re-open port............";
// The file could not be read to its end, or changed size while it was sent.
inline constexpr char kFileChangedText[] =
    "Firmware File Error !  File could not be read whole; Flash Update ABORTED.";

// "Flash Update In Progress, <p>% Data Sent <p stars>", where p is the running
// total (the chunks read after the first) times 100 over the file size, plus
// one, the remainder dropped.
std::string ProgressText(uint64_t running_total, uint64_t file_size);

}  // namespace velloquin
