#include "sources/transports/garmin_usb_libusb.h"

#include <libusb.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

namespace geomuxer {

namespace {

struct Endpoints {
  int interfaceNumber = -1;
  unsigned char interruptIn = 0;
  unsigned char bulkIn = 0;
  unsigned char bulkOut = 0;
  std::uint32_t bulkOutPacketSize = 0;
};

// The packet protocol lives on a vendor-specific interface with exactly these three pipes; the
// same vendor's mass-storage devices (newer handhelds in file mode) have none and are skipped.
std::optional<Endpoints> findProtocolInterface(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
      libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) {
    return std::nullopt;
  }
  std::optional<Endpoints> found;
  for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
    const libusb_interface& iface = config->interface[i];
    if (iface.num_altsetting < 1) continue;
    const libusb_interface_descriptor& alt = iface.altsetting[0];
    if (alt.bInterfaceClass != LIBUSB_CLASS_VENDOR_SPEC) continue;
    Endpoints e;
    e.interfaceNumber = alt.bInterfaceNumber;
    for (int k = 0; k < alt.bNumEndpoints; ++k) {
      const libusb_endpoint_descriptor& ep = alt.endpoint[k];
      const auto kind = ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
      const bool in = (ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
      if (kind == LIBUSB_TRANSFER_TYPE_INTERRUPT && in) e.interruptIn = ep.bEndpointAddress;
      if (kind == LIBUSB_TRANSFER_TYPE_BULK && in) e.bulkIn = ep.bEndpointAddress;
      if (kind == LIBUSB_TRANSFER_TYPE_BULK && !in) {
        e.bulkOut = ep.bEndpointAddress;
        e.bulkOutPacketSize = ep.wMaxPacketSize & 0x7FFu;
      }
    }
    if (e.interruptIn != 0 && e.bulkIn != 0 && e.bulkOut != 0) found = e;
  }
  libusb_free_config_descriptor(config);
  return found;
}

std::string errorText(int code) { return libusb_strerror(static_cast<libusb_error>(code)); }

class LibusbGarminDevice final : public GarminUsbDevice {
 public:
  LibusbGarminDevice(libusb_context* context, libusb_device_handle* handle, const Endpoints& endpoints)
      : m_context(context), m_handle(handle), m_endpoints(endpoints) {}

  ~LibusbGarminDevice() override {
    libusb_release_interface(m_handle, m_endpoints.interfaceNumber);
    libusb_close(m_handle);  // gives the device back to the kernel's driver when we detached it
    libusb_exit(m_context);
  }

  [[nodiscard]] std::uint32_t packetSize() const override { return m_endpoints.bulkOutPacketSize; }

  [[nodiscard]] UsbTransfer readInterrupt(std::chrono::milliseconds timeout) override {
    return read(m_endpoints.interruptIn, kInterruptSize, timeout, libusb_interrupt_transfer);
  }

  [[nodiscard]] UsbTransfer readBulk(std::size_t maxBytes, std::chrono::milliseconds timeout) override {
    return read(m_endpoints.bulkIn, maxBytes, timeout, libusb_bulk_transfer);
  }

  [[nodiscard]] UsbStatus write(std::string_view bytes) override {
    std::string buffer(bytes);  // libusb takes a mutable buffer
    int transferred = 0;
    const int rc = libusb_bulk_transfer(m_handle, m_endpoints.bulkOut,
                                        reinterpret_cast<unsigned char*>(buffer.data()),
                                        static_cast<int>(buffer.size()), &transferred, kWriteTimeoutMs);
    if (rc == LIBUSB_SUCCESS && transferred == static_cast<int>(buffer.size())) return UsbStatus::ok;
    return fail(rc == LIBUSB_SUCCESS ? LIBUSB_ERROR_IO : rc);
  }

  [[nodiscard]] std::string lastError() const override {
    std::lock_guard lock(m_errorMutex);
    return m_lastError;
  }

 private:
  static constexpr unsigned kWriteTimeoutMs = 3000;

  using TransferFunction = int (*)(libusb_device_handle*, unsigned char, unsigned char*, int, int*, unsigned int);

  UsbTransfer read(unsigned char endpoint, std::size_t maxBytes, std::chrono::milliseconds timeout,
                   TransferFunction transfer) {
    UsbTransfer result;
    result.data.resize(maxBytes);
    int transferred = 0;
    // 0 would mean "wait for ever" to libusb.
    const auto ms = static_cast<unsigned>(std::max<std::chrono::milliseconds::rep>(1, timeout.count()));
    const int rc = transfer(m_handle, endpoint, reinterpret_cast<unsigned char*>(result.data.data()),
                            static_cast<int>(maxBytes), &transferred, ms);
    result.data.resize(static_cast<std::size_t>(std::max(transferred, 0)));
    if (rc == LIBUSB_SUCCESS || (rc == LIBUSB_ERROR_TIMEOUT && transferred > 0)) return result;
    result.status = rc == LIBUSB_ERROR_TIMEOUT ? UsbStatus::timeout : fail(rc);
    if (rc == LIBUSB_ERROR_PIPE) libusb_clear_halt(m_handle, endpoint);
    return result;
  }

  UsbStatus fail(int rc) {
    std::lock_guard lock(m_errorMutex);
    m_lastError = errorText(rc);
    return rc == LIBUSB_ERROR_NO_DEVICE ? UsbStatus::disconnected : UsbStatus::failed;
  }

  libusb_context* m_context;
  libusb_device_handle* m_handle;
  Endpoints m_endpoints;
  mutable std::mutex m_errorMutex;
  std::string m_lastError;
};

}  // namespace

std::unique_ptr<GarminUsbDevice> openLibusbGarminDevice() {
  libusb_context* context = nullptr;
  // Without USB support (no usbfs in a container, say) there is no device to find.
  if (libusb_init(&context) != LIBUSB_SUCCESS) return nullptr;

  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  libusb_device* chosen = nullptr;
  Endpoints endpoints;
  for (ssize_t i = 0; i < count && chosen == nullptr; ++i) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
    if (descriptor.idVendor != kGarminVendorId) continue;
    if (const std::optional<Endpoints> found = findProtocolInterface(list[i])) {
      chosen = list[i];
      endpoints = *found;
    }
  }
  if (chosen == nullptr) {
    if (count >= 0) libusb_free_device_list(list, 1);
    libusb_exit(context);
    return nullptr;
  }

  libusb_device_handle* handle = nullptr;
  int rc = libusb_open(chosen, &handle);
  libusb_free_device_list(list, 1);
  if (rc == LIBUSB_SUCCESS) {
    // The kernel's garmin_gps driver binds these receivers as a serial port; take the device over
    // while we use it (libusb_close gives it back).
    if (libusb_set_auto_detach_kernel_driver(handle, 1) != LIBUSB_SUCCESS &&
        libusb_kernel_driver_active(handle, endpoints.interfaceNumber) == 1) {
      (void)libusb_detach_kernel_driver(handle, endpoints.interfaceNumber);
    }
    rc = libusb_claim_interface(handle, endpoints.interfaceNumber);
    if (rc != LIBUSB_SUCCESS) libusb_close(handle);
  }
  if (rc != LIBUSB_SUCCESS) {
    const std::string message = "Can not open the Garmin USB device: " + errorText(rc);
    libusb_exit(context);
    throw std::runtime_error(message);
  }
  return std::make_unique<LibusbGarminDevice>(context, handle, endpoints);
}

}  // namespace geomuxer
