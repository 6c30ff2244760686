#include "sources/transports/garmin_usb_watch.h"

#include <libusb.h>

#include "sources/transports/garmin_usb_libusb.h"

namespace geomuxer {

namespace {

int LIBUSB_CALL onArrival(libusb_context*, libusb_device*, libusb_hotplug_event, void* watch) {
  QMetaObject::invokeMethod(
      static_cast<QObject*>(watch),
      [watch] { emit static_cast<GarminUsbWatch*>(watch)->appeared(); }, Qt::QueuedConnection);
  return 0;  // stay registered
}

}  // namespace

GarminUsbWatch::GarminUsbWatch(QObject* parent) : DeviceWatch(parent) {
  if (libusb_init(&m_context) != LIBUSB_SUCCESS) {
    m_context = nullptr;
    return;
  }
  if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0 &&
      libusb_hotplug_register_callback(m_context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, LIBUSB_HOTPLUG_NO_FLAGS,
                                       kGarminVendorId, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                       &onArrival, this, &m_callback) == LIBUSB_SUCCESS) {
    // Blocks in libusb until something happens; the destructor wakes it.
    m_events = std::jthread([this] {
      while (!m_stopping.load()) (void)libusb_handle_events_completed(m_context, nullptr);
    });
    return;
  }
  m_present = devicePresent();
  m_poll.setInterval(kPollMs);
  m_poll.setTimerType(Qt::CoarseTimer);
  connect(&m_poll, &QTimer::timeout, this, &GarminUsbWatch::arrived);
  m_poll.start();
}

GarminUsbWatch::~GarminUsbWatch() {
  m_poll.stop();
  if (m_events.joinable()) {
    m_stopping.store(true);
    libusb_hotplug_deregister_callback(m_context, m_callback);
    libusb_interrupt_event_handler(m_context);
    m_events.join();
  }
  if (m_context != nullptr) libusb_exit(m_context);
}

bool GarminUsbWatch::devicePresent() const {
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(m_context, &list);
  bool found = false;
  for (ssize_t i = 0; i < count && !found; ++i) {
    libusb_device_descriptor descriptor{};
    found = libusb_get_device_descriptor(list[i], &descriptor) == LIBUSB_SUCCESS &&
            descriptor.idVendor == kGarminVendorId;
  }
  if (list != nullptr) libusb_free_device_list(list, 1);
  return found;
}

void GarminUsbWatch::arrived() {
  const bool present = devicePresent();
  const bool appearedNow = present && !m_present;
  m_present = present;
  if (appearedNow) emit appeared();
}

}  // namespace geomuxer
