// libusb behind the USB seam, and the choice between it and the device model of a simulated root.
#include "platform/usb.h"

#include <libusb-1.0/libusb.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <ctime>

#include "platform/log.h"
#include "platform/root.h"

namespace {

constexpr int kSlots = 4;

class LibUsbPort : public UsbPort {
 public:
  ~LibUsbPort() override {
    close();
    if (ctx_) libusb_exit(ctx_);
  }
  int init() override {
    const int rc = libusb_init(&ctx_);
    if (rc < 0) {
      ctx_ = nullptr;
      return rc;
    }
    libusb_set_option(ctx_, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_WARNING);
    return 0;
  }
  bool list(std::vector<UsbDeviceId>& out) override {
    freeList();
    const ssize_t n = libusb_get_device_list(ctx_, &devices_);
    if (n < 0) {
      devices_ = nullptr;
      return false;
    }
    count_ = static_cast<int>(n);
    out.clear();
    for (int i = 0; i < count_; ++i) {
      libusb_device_descriptor d{};
      if (libusb_get_device_descriptor(devices_[i], &d) < 0) return false;
      out.push_back({d.idVendor, d.idProduct});
    }
    return true;
  }
  bool open(int index, const std::function<void(const char*)>& note) override {
    if (index < 0 || index >= count_ || libusb_open(devices_[index], &handle_) != 0) {
      handle_ = nullptr;
      note("Cannot open HVZ Device\n");
      return false;
    }
    note("HVZ Device Opened\n");
    if (libusb_kernel_driver_active(handle_, 0) == 1) {
      note("Kernel Driver Active\n");
      if (libusb_detach_kernel_driver(handle_, 0) == 0) note("Kernel Driver Detached\n");
    }
    if (libusb_claim_interface(handle_, 0) < 0) {
      note("Cannot claim Interface\n");
      libusb_close(handle_);
      handle_ = nullptr;
      return false;
    }
    claimed_ = true;
    note("Interface claimed\n");
    freeList();
    return true;
  }
  int controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length) override {
    if (!handle_) return LIBUSB_ERROR_NO_DEVICE;
    return libusb_control_transfer(handle_, 0xC0, request, value, index, data, length, 0);
  }
  int submitBulk(int slot, uint8_t endpoint, int length, unsigned timeoutMs) override {
    if (!handle_ || slot < 0 || slot >= kSlots || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    Slot& s = slots_[slot];
    if (!s.transfer) {
      s.transfer = libusb_alloc_transfer(0);
      if (!s.transfer) return LIBUSB_ERROR_NO_MEM;
      s.owner = this;
      s.index = slot;
    }
    s.buffer.resize(static_cast<size_t>(length));
    libusb_fill_bulk_transfer(s.transfer, handle_, endpoint, s.buffer.data(), length, &LibUsbPort::done, &s, timeoutMs);
    const int rc = libusb_submit_transfer(s.transfer);
    s.inFlight = rc == 0;
    return rc;
  }
  int handleEvents(int timeoutMs) override {
    if constexpr (sizeof(time_t) == sizeof(long)) {
      timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
      return libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
    } else {
      // The board's library takes a 32-bit timeval, ours is 64-bit: the wait without a time-out
      // still ends within the transfers' own 2 s time-out.
      return libusb_handle_events_completed(ctx_, nullptr);
    }
  }
  void close() override {
    for (Slot& s : slots_) {
      if (s.transfer && s.inFlight) libusb_cancel_transfer(s.transfer);
    }
    // Cancelled transfers still complete through the event handler before they may be freed.
    for (int tries = 0; tries < 50 && anyInFlight(); ++tries) handleEvents(20);
    for (Slot& s : slots_) {
      if (s.transfer && !s.inFlight) libusb_free_transfer(s.transfer);
      s.transfer = nullptr;
    }
    if (handle_) {
      if (claimed_) libusb_release_interface(handle_, 0);
      libusb_close(handle_);
    }
    handle_ = nullptr;
    claimed_ = false;
    freeList();
  }

 private:
  struct Slot {
    libusb_transfer* transfer = nullptr;
    std::vector<uint8_t> buffer;
    LibUsbPort* owner = nullptr;
    int index = 0;
    bool inFlight = false;
  };
  static void LIBUSB_CALL done(libusb_transfer* t) {
    Slot* s = static_cast<Slot*>(t->user_data);
    s->inFlight = false;
    UsbTransferStatus st = UsbTransferStatus::Error;
    switch (t->status) {
      case LIBUSB_TRANSFER_COMPLETED: st = UsbTransferStatus::Completed; break;
      case LIBUSB_TRANSFER_TIMED_OUT: st = UsbTransferStatus::TimedOut; break;
      case LIBUSB_TRANSFER_CANCELLED: st = UsbTransferStatus::Cancelled; break;
      case LIBUSB_TRANSFER_STALL: st = UsbTransferStatus::Stall; break;
      case LIBUSB_TRANSFER_NO_DEVICE: st = UsbTransferStatus::NoDevice; break;
      case LIBUSB_TRANSFER_OVERFLOW: st = UsbTransferStatus::Overflow; break;
      default: break;
    }
    if (s->owner->completion_) s->owner->completion_(s->index, st, t->buffer, t->actual_length);
  }
  bool anyInFlight() const {
    for (const Slot& s : slots_)
      if (s.transfer && s.inFlight) return true;
    return false;
  }
  void freeList() {
    if (devices_) libusb_free_device_list(devices_, 1);
    devices_ = nullptr;
    count_ = 0;
  }
  libusb_context* ctx_ = nullptr;
  libusb_device** devices_ = nullptr;
  int count_ = 0;
  libusb_device_handle* handle_ = nullptr;
  bool claimed_ = false;
  Slot slots_[kSlots];
};

}  // namespace

std::unique_ptr<UsbPort> openUsbPort() {
  const std::string model = rootPath("/sim/usb");
  struct stat st;
  if (stat(model.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return usbDeviceModel(model);
  return std::make_unique<LibUsbPort>();
}
