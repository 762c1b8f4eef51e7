// Status texts of forcing a printer into boot-load mode.
#pragma once

namespace velloquin {

inline constexpr char kForcingText[] = "Attempting to force Printer into BOOT LOAD Mode.";
inline constexpr char kFinishingTransferText[] = "Finishing Boot Program File Transfer.";
inline constexpr char kResettingText[] = "Reseting Printer.";

}  // namespace velloquin
