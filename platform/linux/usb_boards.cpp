#include "platform/usb_boards.h"

#include "platform/linux/udev.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fmt/core.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

// The boards through libudev: every USB device 303a:1001 with the tty below
// its interface 0, and a udev monitor for their comings and goings.
namespace platform {

using namespace usb::udev_detail;

namespace {

constexpr std::uint16_t board_vendor = 0x303A;
constexpr std::uint16_t board_product = 0x1001;

[[noreturn]] void fail(const char* what, int error)
{
    throw usb::error(fmt::format("{}: {}", what, errno_text(error)));
}

}  // namespace

std::vector<usb_board_entry> list_board_entries()
{
    // A context of this call's own: libudev's objects belong to one thread.
    const udev_ptr context = new_context();
    std::vector<usb_board_entry> entries;
    for (const device_ptr& dev :
         all_below(context.get(), nullptr, "usb",
                   [](udev_device* d) { return is_usb_device(d, board_vendor, board_product); },
                   "Failed to list USB devices")) {
        // A composite device shows each function as an interface of its own;
        // the port is the tty below interface 0.
        usb_board_entry entry;
        const char* serial = udev_device_get_sysattr_value(dev.get(), "serial");
        entry.board.serial = serial != nullptr ? serial : "";
        entry.board.location = udev_device_get_syspath(dev.get());
        const device_ptr interface = find_interface(context.get(), dev.get(), 0);
        const device_ptr tty = interface ? find_tty(context.get(), interface.get()) : nullptr;
        if (tty)
            entry.board.port = udev_device_get_devnode(tty.get());
        else if (!interface)
            entry.port_trouble = "Failed to find interface 0 of the USB device.";
        else
            entry.port_trouble = "Failed to find the serial port of interface 0 of the USB device.";
        entries.push_back(std::move(entry));
    }
    return entries;
}

// The monitor hears udev's announcements for the subsystems "usb" (devices,
// interfaces, driver binding) and "tty" (the port's name); the event counter
// is what wake writes to.
struct board_watch::impl {
    udev_ptr context;
    monitor_ptr monitor;
    int wake_fd = -1;

    ~impl()
    {
        if (wake_fd >= 0)
            ::close(wake_fd);
    }

    // Reads every announcement waiting, so that one change is told once.
    void drain()
    {
        while (device_ptr(udev_monitor_receive_device(monitor.get())))
            ;
    }
};

board_watch::board_watch() : impl_(std::make_unique<impl>())
{
    constexpr const char* what = "Failed to watch the USB devices";
    impl_->context = new_context();
    impl_->monitor.reset(udev_monitor_new_from_netlink(impl_->context.get(), "udev"));
    if (!impl_->monitor)
        fail(what, errno);
    check(udev_monitor_filter_add_match_subsystem_devtype(impl_->monitor.get(), "usb", nullptr), what);
    check(udev_monitor_filter_add_match_subsystem_devtype(impl_->monitor.get(), "tty", nullptr), what);
    check(udev_monitor_enable_receiving(impl_->monitor.get()), what);
    // Receiving must never block: drain reads until nothing is left.
    const int fd = udev_monitor_get_fd(impl_->monitor.get());
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        fail(what, errno);
    impl_->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->wake_fd < 0)
        fail(what, errno);
}

board_watch::~board_watch() = default;

bool board_watch::wait(std::chrono::milliseconds timeout)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + timeout;
    pollfd fds[2] = {{udev_monitor_get_fd(impl_->monitor.get()), POLLIN, 0}, {impl_->wake_fd, POLLIN, 0}};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
        const int ms = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 1 << 30));
        const int ready = ::poll(fds, 2, ms);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            fail("Failed to wait for changes of the USB devices", errno);
        }
        // A wake wins: announcements stay queued for the next wait.
        if (fds[1].revents != 0) {
            eventfd_t count = 0;
            ::eventfd_read(impl_->wake_fd, &count);
            return false;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            impl_->drain();
            return true;
        }
        if (fds[0].revents != 0)
            throw usb::error("Failed to wait for changes of the USB devices: the device monitor closed.");
        if (ready == 0)
            return false;
    }
}

void board_watch::wake() { ::eventfd_write(impl_->wake_fd, 1); }

}  // namespace platform
