// The USB operations the spectrum reader needs: libusb on the unit, a device model in a simulated root.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Outcome of a bulk transfer, as libusb reports it.
enum class UsbTransferStatus { Completed, Error, TimedOut, Cancelled, Stall, NoDevice, Overflow };

struct UsbDeviceId {
  uint16_t vendor = 0;
  uint16_t product = 0;
};

class UsbPort {
 public:
  // Called on the thread that handles events, with the transfer's slot, outcome and received bytes.
  using Completion = std::function<void(int slot, UsbTransferStatus status, const uint8_t* data, int length)>;

  virtual ~UsbPort() = default;
  // 0, or a negative libusb error code.
  virtual int init() = 0;
  // The devices on the bus; false when the list could not be read.
  virtual bool list(std::vector<UsbDeviceId>& out) = 0;
  // Opens the index-th listed device, detaching a kernel driver from interface 0 and claiming it.
  // The steps are reported through `note` ("HVZ Device Opened", ...); false on failure (logged there too).
  virtual bool open(int index, const std::function<void(const char*)>& note) = 0;
  // A vendor device-to-host control request: the bytes received, or a negative libusb error code.
  virtual int controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length) = 0;
  // Fills and submits (again) bulk transfer `slot` on `endpoint`; 0 or a negative libusb error code.
  virtual int submitBulk(int slot, uint8_t endpoint, int length, unsigned timeoutMs) = 0;
  // Waits for events up to timeoutMs and runs the completions that arrived; 0 or a libusb error code.
  virtual int handleEvents(int timeoutMs) = 0;
  // Cancels what is in flight, releases the interface and closes the device.
  virtual void close() = 0;
  void setCompletion(Completion c) { completion_ = std::move(c); }

 protected:
  Completion completion_;
};

// The unit's USB: libusb. In a simulated root (one with sim/usb) the device model described there.
std::unique_ptr<UsbPort> openUsbPort();

// The device model on its own, described by the file at `path` (a simulated root's sim/usb), which it
// reads again whenever it changes, so that a test or the simulator can make the device fail or vanish:
//   device 2b4d 0e31     vendor and product (hex); no line: no device on the bus
//   serial TEXT          offsets GLOBAL LP ATT (dB)       driver 2 1       hw 1 4
//   tone FRACTION LEVEL  a tone at FRACTION of the sample rate (-0.5..0.5) that the spectrum shows
//                        at LEVEL dB; noise LEVEL: a noise floor at about LEVEL dB
//   fail N               the next N transfers fail     stall / gone: every transfer stalls / no device
//   limit N              the device vanishes after N completed transfers
//   rate HZ              transfers of 4096 samples are paced at this sample rate (default 192000)
std::unique_ptr<UsbPort> usbDeviceModel(const std::string& path);
