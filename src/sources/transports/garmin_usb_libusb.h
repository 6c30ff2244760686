#pragma once
// Garmin USB receivers through libusb (Linux and other systems libusb supports).

#include <memory>

#include "sources/transports/garmin_usb_device.h"

namespace geomuxer {

/// Garmin's USB vendor id.
inline constexpr std::uint16_t kGarminVendorId = 0x091e;

/// Opens the first Garmin receiver that speaks the packet protocol (a vendor-specific interface
/// with an interrupt pipe and two bulk pipes), detaching the kernel's driver from it while we hold
/// it. Null when there is none (or no USB at all); throws std::runtime_error when one is present
/// but cannot be opened or claimed (permissions, another program holding it). A GarminUsbOpener.
[[nodiscard]] std::unique_ptr<GarminUsbDevice> openLibusbGarminDevice();

}  // namespace geomuxer
