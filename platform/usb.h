#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

// USB device lookup and the serial port of a USB device. Every failure is
// thrown as usb::error, whose message says what failed.
namespace usb {

class error : public std::exception {
public:
    explicit error(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// A handle to one connected USB device, or to none (the default). Copies share
// the device; the last one releases it.
class device {
public:
    device() = default;
    explicit operator bool() const noexcept { return static_cast<bool>(impl_); }

    struct impl;
    explicit device(std::shared_ptr<impl> i) : impl_(std::move(i)) {}
    const std::shared_ptr<impl>& get_impl() const noexcept { return impl_; }

private:
    std::shared_ptr<impl> impl_;
};

// The first connected device with these identifiers, or a device handle that
// holds none when no such device is connected. Throws usb::error when the
// devices cannot be listed at all.
device find_device_with_vid_pid(std::uint16_t vendor_id, std::uint16_t product_id);

// The serial port of one interface of a device. A composite device has one
// interface per function; interface_number says which one holds the port.
class serial_port {
public:
    // Throws usb::error when dev holds no device or the interface has no
    // serial port.
    serial_port(const device& dev, std::uint8_t interface_number, bool composite);
    ~serial_port();
    serial_port(const serial_port&) = delete;
    serial_port& operator=(const serial_port&) = delete;

    // The name under which programs open the port, for example /dev/ttyACM0.
    // Throws usb::error when the port has no name.
    std::string get_name() const;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace usb
