// <windows.h> for the Win32 backend, and the one place where its macros meet the device
// layer's names. dcb.h gives the serial names (INFINITE, SETRTS, ERROR_..., EV_RXCHAR, ...) as
// constants of qel::dev, and <windows.h> defines the same names as macros. So this header
// is included last, after every header of the project, and only by win32_*.cpp files:
// from here on an unqualified name is the macro, and the checks below prove that each macro
// has the value of the constant it hides, so either reading means the same thing. In these
// files the Win32 types are written with "::" (::DWORD is unsigned long, dev::DWORD is
// 32-bit unsigned int; ::DCB and dev::DCB differ in layout).
#pragma once
#include "serial/device/dcb.h"

namespace qel::dev::win32_names {
// Taken before <windows.h>: here the names are still the device layer's constants.
constexpr DWORD kInfinite = INFINITE, kMaxDword = MAXDWORD;
constexpr DWORD kDtrDisable = DTR_CONTROL_DISABLE, kDtrEnable = DTR_CONTROL_ENABLE,
                kDtrHandshake = DTR_CONTROL_HANDSHAKE;
constexpr DWORD kRtsDisable = RTS_CONTROL_DISABLE, kRtsEnable = RTS_CONTROL_ENABLE,
                kRtsHandshake = RTS_CONTROL_HANDSHAKE, kRtsToggle = RTS_CONTROL_TOGGLE;
constexpr BYTE kNoParity = NOPARITY, kOddParity = ODDPARITY, kEvenParity = EVENPARITY,
               kMarkParity = MARKPARITY, kSpaceParity = SPACEPARITY;
constexpr BYTE kOneStop = ONESTOPBIT, kOne5Stop = ONE5STOPBITS, kTwoStop = TWOSTOPBITS;
constexpr DWORD kEvRxChar = EV_RXCHAR, kEvBreak = EV_BREAK, kEvErr = EV_ERR;
constexpr DWORD kCeRxOver = CE_RXOVER, kCeOverrun = CE_OVERRUN, kCeRxParity = CE_RXPARITY,
                kCeFrame = CE_FRAME, kCeBreak = CE_BREAK;
constexpr DWORD kTxAbort = PURGE_TXABORT, kRxAbort = PURGE_RXABORT, kTxClear = PURGE_TXCLEAR,
                kRxClear = PURGE_RXCLEAR;
constexpr DWORD kSetRts = SETRTS, kClrRts = CLRRTS, kSetDtr = SETDTR, kClrDtr = CLRDTR;
constexpr DWORD kCtsOn = MS_CTS_ON, kDsrOn = MS_DSR_ON, kRingOn = MS_RING_ON, kRlsdOn = MS_RLSD_ON;
constexpr DWORD kFileNotFound = ERROR_FILE_NOT_FOUND, kAccessDenied = ERROR_ACCESS_DENIED,
                kInvalidHandle = ERROR_INVALID_HANDLE, kNoMemory = ERROR_NOT_ENOUGH_MEMORY,
                kOutOfMemory = ERROR_OUTOFMEMORY, kGenFailure = ERROR_GEN_FAILURE,
                kSharing = ERROR_SHARING_VIOLATION, kNotSupported = ERROR_NOT_SUPPORTED,
                kInvalidParameter = ERROR_INVALID_PARAMETER, kAborted = ERROR_OPERATION_ABORTED,
                kPending = ERROR_IO_PENDING, kRemoved = ERROR_DEVICE_REMOVED;
}  // namespace qel::dev::win32_names

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace qel::dev::win32_names {
static_assert(kInfinite == INFINITE && kMaxDword == MAXDWORD);
static_assert(kDtrDisable == DTR_CONTROL_DISABLE && kDtrEnable == DTR_CONTROL_ENABLE &&
              kDtrHandshake == DTR_CONTROL_HANDSHAKE);
static_assert(kRtsDisable == RTS_CONTROL_DISABLE && kRtsEnable == RTS_CONTROL_ENABLE &&
              kRtsHandshake == RTS_CONTROL_HANDSHAKE && kRtsToggle == RTS_CONTROL_TOGGLE);
static_assert(kNoParity == NOPARITY && kOddParity == ODDPARITY && kEvenParity == EVENPARITY &&
              kMarkParity == MARKPARITY && kSpaceParity == SPACEPARITY);
static_assert(kOneStop == ONESTOPBIT && kOne5Stop == ONE5STOPBITS && kTwoStop == TWOSTOPBITS);
static_assert(kEvRxChar == EV_RXCHAR && kEvBreak == EV_BREAK && kEvErr == EV_ERR);
static_assert(kCeRxOver == CE_RXOVER && kCeOverrun == CE_OVERRUN && kCeRxParity == CE_RXPARITY &&
              kCeFrame == CE_FRAME && kCeBreak == CE_BREAK);
static_assert(kTxAbort == PURGE_TXABORT && kRxAbort == PURGE_RXABORT && kTxClear == PURGE_TXCLEAR &&
              kRxClear == PURGE_RXCLEAR);
static_assert(kSetRts == SETRTS && kClrRts == CLRRTS && kSetDtr == SETDTR && kClrDtr == CLRDTR);
static_assert(kCtsOn == MS_CTS_ON && kDsrOn == MS_DSR_ON && kRingOn == MS_RING_ON &&
              kRlsdOn == MS_RLSD_ON);
static_assert(kFileNotFound == ERROR_FILE_NOT_FOUND && kAccessDenied == ERROR_ACCESS_DENIED &&
              kInvalidHandle == ERROR_INVALID_HANDLE && kNoMemory == ERROR_NOT_ENOUGH_MEMORY &&
              kOutOfMemory == ERROR_OUTOFMEMORY && kGenFailure == ERROR_GEN_FAILURE &&
              kSharing == ERROR_SHARING_VIOLATION && kNotSupported == ERROR_NOT_SUPPORTED &&
              kInvalidParameter == ERROR_INVALID_PARAMETER && kAborted == ERROR_OPERATION_ABORTED &&
              kPending == ERROR_IO_PENDING && kRemoved == ERROR_DEVICE_REMOVED);
}  // namespace qel::dev::win32_names
