// The serial kind of the channel: the flow-control rules of the DCB, the
// readiness test, the modem lines, the output queue and the control lines.
#include <cerrno>

#include "iocomm/io_comm.h"

namespace velloquin {
namespace {

// XON/XOFF both ways with the usual limits and characters.
void SetXonXoffLimits(Dcb& dcb) {
  dcb.Set(kDcbInX | kDcbTxContinueOnXoff);
  dcb.xon_lim = 256;
  dcb.xoff_lim = 100;
  dcb.xon_char = kXonChar;
  dcb.xoff_char = kXoffChar;
}

void ClearXonXoffLimits(Dcb& dcb) {
  dcb.xon_lim = 0;
  dcb.xoff_lim = 0;
  dcb.xon_char = 0;
  dcb.xoff_char = 0;
}

// Hardware handshake: CTS and DSR watched, DTR enabled, no XON/XOFF.
void ApplyHardwareBits(Dcb& dcb) {
  dcb.Clear(kDcbDtrControlHandshake | kDcbTxContinueOnXoff | kDcbOutX | kDcbInX);
  dcb.Set(kDcbOutxDsrFlow | kDcbDtrControlEnable);
  ClearXonXoffLimits(dcb);
}

// No handshake at all.
void ApplyNoFlowBits(Dcb& dcb) {
  dcb.Clear(kDcbOutxDsrFlow | kDcbDtrControlMask | kDcbTxContinueOnXoff | kDcbOutX | kDcbInX);
  ClearXonXoffLimits(dcb);
}

}  // namespace

void IOComm::NormaliseDcb() {
  Dcb& dcb = CommConfig.dcb;
  dcb.length = kDcbSize;
  dcb.Set(kDcbBinary);
  if (dcb.Has(kDcbOutX)) {
    dcb.Clear(kDcbOutxCtsFlow | kDcbOutxDsrFlow | kDcbDtrControlMask | kDcbDsrSensitivity);
    SetXonXoffLimits(dcb);
  }
  if (dcb.Has(kDcbOutxCtsFlow)) ApplyHardwareBits(dcb);
  if (!dcb.Has(kDcbOutxCtsFlow) && !dcb.Has(kDcbOutX)) ApplyNoFlowBits(dcb);
}

void IOComm::DeriveHandshakeFromDcb() {
  Handshake = 0;
  if (CommConfig.dcb.Has(kDcbOutX)) Handshake = 1;
  if (CommConfig.dcb.Has(kDcbOutxCtsFlow)) Handshake = 2;
}

int IOComm::SetHandshake(int mode) {
  Dcb& dcb = CommConfig.dcb;
  Handshake = mode;
  switch (mode) {
    case 0:
      dcb.Clear(kDcbOutxCtsFlow | kDcbDtrControlMask | kDcbOutX | kDcbInX | kDcbRtsControlMask);
      break;
    case 1:
      dcb.Clear(kDcbDtrControlMask | kDcbRtsControlMask);
      dcb.Set(kDcbOutX);
      break;
    case 2:
      dcb.Clear(kDcbOutX | kDcbInX | kDcbRtsControlEnable);
      dcb.Set(kDcbOutxCtsFlow | kDcbRtsControlHandshake);
      break;
    default:
      break;
  }
  dcb.length = kDcbSize;
  dcb.Set(kDcbBinary);
  if (dcb.Has(kDcbOutX)) {
    // Unlike the normalisation at open, DSR flow and sensitivity stay.
    dcb.Clear(kDcbOutxCtsFlow | kDcbDtrControlMask);
    SetXonXoffLimits(dcb);
  }
  if (dcb.Has(kDcbOutxCtsFlow)) ApplyHardwareBits(dcb);
  if (!dcb.Has(kDcbOutxCtsFlow) && !dcb.Has(kDcbOutX)) ApplyNoFlowBits(dcb);
  if (ChannelType == Serial && !dcb.Has(kDcbOutxCtsFlow)) dcb.Clear(kDcbDtrControlMask);
  if (IOHandle != 0 && ChannelType == Serial) ApplyCommConfig();
  return mode >= 0 && mode <= 2 ? 1 : 0;
}

int IOComm::ApplyCommConfig() {
  if (!serial_) return 0;
  return serial_->SetConfig(CommConfig) == 0 ? 1 : 0;
}

int IOComm::SerialIsReady() {
  if (Handshake == 2) {
    uint32_t status = 0;
    auto read_lines = [&] { return serial_ && serial_->GetModemStatus(&status) == 0; };
    bool ok = read_lines();
    if (!ok) ok = Backoff(Backoffs().ready, read_lines);
    return ok && (status & kModemDsrOn) ? 1 : 0;
  }
  if (Handshake == 1) {
    CommStatus status;
    if (!serial_ || serial_->GetStatus(&status) != 0) return 0;
    return (status.hold & (kHoldXoffHold | kHoldXoffSent)) ? 0 : 1;
  }
  return 1;
}

uint32_t IOComm::SerialLineStatus() {
  uint32_t status = 0;
  if (!serial_ || serial_->GetModemStatus(&status) != 0) return 0;
  uint32_t lines = 0;
  if (status & kModemDsrOn) lines |= LineConnected | LineDsr;
  if (status & kModemCtsOn) lines |= LineConnected | LineCts;
  return lines;
}

int IOComm::SerialInputPending() {
  CommStatus status;
  return PendingFromStatus(serial_ ? serial_->GetStatus(&status) : EBADF, status);
}

int IOComm::PendingFromStatus(int error, const CommStatus& status) {
  if (error != 0) {
    Log("IOComm::InputPending(): ClearCommError() failed");
    return (DebugMode & kDebugPendingZeroOnError) ? 0 : 200;
  }
  return static_cast<int>(status.out_queue);
}

int IOComm::ClearDtr(int clear) {
  if (!serial_) return 0;
  return serial_->EscapeFunction(clear ? LineFunction::kClearDtr : LineFunction::kSetDtr) == 0
             ? 1
             : 0;
}

int IOComm::ClearRts(int clear) {
  if (!serial_) return 0;
  return serial_->EscapeFunction(clear ? LineFunction::kClearRts : LineFunction::kSetRts) == 0
             ? 1
             : 0;
}

}  // namespace velloquin
