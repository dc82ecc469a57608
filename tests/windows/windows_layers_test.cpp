// The Windows layers under Wine: the board in the registry, the process
// runner with a stand-in esptool.exe, names beyond the code page, the
// exclusive port.

#include "app/status_queue.h"
#include "flash/discovery.h"
#include "flash/flash_worker.h"
#include "platform/process.h"
#include "platform/socket_options.h"
#include "platform/usb.h"
#include "platform/windows_text.h"
#include "support/tool_calls.h"
#include "support/work_dir.h"

#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <cwchar>
#include <thread>
#include <tuple>

namespace fs = std::filesystem;
using platform::windows::to_utf16;

namespace {

// A board's serial function as Windows lists it, written into the registry
// for the life of the object.
class registered_board {
public:
    registered_board(const std::wstring& device, const std::wstring& instance, const std::wstring& port_name)
        : key_(L"System\\CurrentControlSet\\Enum\\USB\\" + device)
    {
        HKEY key = nullptr;
        const std::wstring path = key_ + L"\\" + instance;
        EXPECT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                    nullptr),
                  ERROR_SUCCESS);
        set(key, L"ClassGUID", L"{4d36e978-e325-11ce-bfc1-08002be10318}");
        set(key, L"Class", L"Ports");
        set(key, L"HardwareID", device);
        HKEY parameters = nullptr;
        ::RegCreateKeyExW(key, L"Device Parameters", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &parameters, nullptr);
        if (!port_name.empty())
            set(parameters, L"PortName", port_name);
        ::RegCloseKey(parameters);
        ::RegCloseKey(key);
    }
    ~registered_board() { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key_.c_str()); ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key_.c_str()); }
    registered_board(const registered_board&) = delete;
    registered_board& operator=(const registered_board&) = delete;

private:
    static void set(HKEY key, const wchar_t* name, const std::wstring& value)
    {
        ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    std::wstring key_;
};

// Windows lists only the devices plugged in for DIGCF_PRESENT; Wine lists
// every device in the registry. Standing in for Windows, SetupDiGetClassDevsW
// as this program imports it leaves out, when asked for present devices only,
// those whose instance identifier says REMEMBERED (unplugged).
HDEVINFO(WINAPI* list_devices)(const GUID*, PCWSTR, HWND, DWORD) = nullptr;

HDEVINFO WINAPI present_devices(const GUID* device_class, PCWSTR enumerator, HWND parent, DWORD flags)
{
    const HDEVINFO set = list_devices(device_class, enumerator, parent, flags);
    SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
    wchar_t id[MAX_DEVICE_ID_LEN + 1];
    for (DWORD i = 0; (flags & DIGCF_PRESENT) && ::SetupDiEnumDeviceInfo(set, i, &data);)
        if (::SetupDiGetDeviceInstanceIdW(set, &data, id, MAX_DEVICE_ID_LEN + 1, nullptr)
            && std::wcsstr(id, L"REMEMBERED"))
            ::SetupDiDeleteDeviceInfo(set, &data);
        else
            ++i;
    return set;
}

void list_present_devices_only()
{
    list_devices = reinterpret_cast<decltype(list_devices)>(
        reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"setupapi.dll"), "SetupDiGetClassDevsW")));
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    const auto* headers =
        reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); library->Name;
         ++library)
        for (auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk); slot->u1.Function; ++slot)
            if (slot->u1.Function == reinterpret_cast<ULONG_PTR>(list_devices)) {
                DWORD protection = 0;
                ::VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection);
                slot->u1.Function = reinterpret_cast<ULONG_PTR>(&present_devices);
                ::VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            }
}

std::vector<std::string> board_texts(std::optional<std::string>& port)
{
    status_queue queue;
    discover_board(port, queue);
    return drain(queue);
}

}  // namespace

TEST(WindowsBoard, FoundThroughItsSerialInterface)
{
    std::optional<std::string> port;
    EXPECT_EQ(board_texts(port), (std::vector<std::string>{"The board is not connected.", "Device port: not found"}));
    EXPECT_FALSE(port);
    {
        // Another product of the same vendor is not the board.
        const registered_board other(L"VID_303A&PID_1002&MI_00", L"7&1&0&0000", L"COM4");
        EXPECT_EQ(board_texts(port).front(), "The board is not connected.");
    }
    {
        // A board plugged in before (Windows remembers it) is not the board.
        list_present_devices_only();
        const registered_board remembered(L"VID_303A&PID_1001&MI_00", L"0&REMEMBERED&0000", L"COM3");
        EXPECT_EQ(board_texts(port).front(), "The board is not connected.");
        const registered_board board(L"VID_303A&PID_1001&MI_00", L"7&2bd5f9e&0&0000", L"COM7");
        EXPECT_EQ(board_texts(port), (std::vector<std::string>{"Device port: COM7"}));
        EXPECT_EQ(port, "COM7");
    }
    {
        // Found, but its port has no name: Windows' reason on standard output.
        const registered_board board(L"VID_303A&PID_1001&MI_00", L"7&2bd5f9e&0&0000", L"");
        testing::internal::CaptureStdout();
        EXPECT_EQ(board_texts(port), (std::vector<std::string>{"Device port: not found"}));
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_NE(printed.find("Failed to read the name of the serial port (PortName): "), std::string::npos) << printed;
        EXPECT_FALSE(port);
    }
}

namespace {

const std::string uploading_firmware = "<span aria-busy=\"true\">Uploading firmware...</span>";
const std::string firmware_done = "Firmware upload done.";
const std::string uploading_app = "<span aria-busy=\"true\">Uploading app...</span>";
const std::string app_done = "App upload done.";

// The worker in a fresh folder holding the stand-in as .\esptool.exe.
class WindowsWorker : public testing::Test {
protected:
    work_dir dir;
    std::optional<std::string> port = "COM7";
    std::string base = "blink";

    void SetUp() override
    {
        const char* tool = std::getenv("VORNHALE_FAKE_ESPTOOL");
        ASSERT_NE(tool, nullptr);
        fs::copy_file(tool, "esptool.exe");
    }

    std::vector<std::string> run_worker()
    {
        status_queue queue;
        flash_control control;
        flash_worker(port, base, queue, control);
        return drain(queue);
    }
};

}  // namespace

TEST_F(WindowsWorker, NamesReachTheToolExactlyWithoutAnInterpreter)
{
    write_file("fs.bin");
    // Characters a command interpreter would act on, and characters outside
    // every single-byte code page.
    for (const std::string name : {"blink", "a&b %PATH% ^x {y} | <z> !v!", "Schl\xC3\xBC" "ssel \xD0\xB1\xD0\xBB\xD0\xB8\xD0\xBD\xD0\xBA \xE7\x81\xAB \xF0\x9F\x94\xA5"}) {
        SCOPED_TRACE(name);
        base = name;
        port = "COM7&%PATH%";
        for (int i = 0; i < 2; ++i)
            fs::remove("call." + std::to_string(i));
        EXPECT_EQ(run_worker(), (std::vector<std::string>{uploading_firmware, firmware_done, uploading_app, app_done}));
        EXPECT_EQ(arguments(0), expected_arguments(firmware_command_line(*port, name)));
        EXPECT_EQ(arguments(0)[25], name + ".ino.bin");
        EXPECT_EQ(arguments(1), expected_arguments(file_system_command_line(*port)));
    }
}

TEST_F(WindowsWorker, FailuresInTheToolsWords)
{
    write_file("say.0", "esptool.py v4.7.0\r\nSerial port COM7\r\n"
                        "A fatal error occurred: Could not open COM7, the port is busy or doesn't exist.\r\n");
    write_file("code.0", "2");
    testing::internal::CaptureStdout();
    EXPECT_EQ(run_worker(), (std::vector<std::string>{uploading_firmware, "Firmware upload failed: Could not open "
                                                                          "COM7, the port is busy or doesn't exist."}));
    // What the tool prints reaches our standard output (GoogleTest reads the
    // capture back in text mode: CR LF comes back as LF).
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "esptool.py v4.7.0\nSerial port COM7\n"
                                                      "A fatal error occurred: Could not open COM7, the port is busy "
                                                      "or doesn't exist.\n");
    fs::remove("call.0");
    fs::remove("esptool.exe");
    EXPECT_EQ(run_worker(), (std::vector<std::string>{uploading_firmware, "Firmware upload failed: esptool.exe not found in this folder: copy esptool.exe next to the firmware files"}));
}

TEST_F(WindowsWorker, ToolTextInTheAnsiCodePageArrivesAsTheUserReadsIt)
{
    // "Accès refusé" from a French Windows. A Python tool, asked for UTF-8,
    // passes on even characters beyond the ANSI code page; a program that
    // writes in the ANSI code page anyway is read in it.
    const std::string refused = "Acc\xC3\xA8s refus\xC3\xA9";
    const std::string beyond = refused + " \xD0\xB1\xD0\xBB\xD0\xB8\xD0\xBD\xD0\xBA";
    const std::string ansi = "Acc\xE8s refus\xE9";
    ASSERT_EQ(::GetACP(), 1252u) << "a Western European system stands in for the French one";
    const std::string line = "A fatal error occurred: Could not open COM7: ";
    for (const auto& [file, printed, meant] : {std::tuple{"ansi.0", beyond, beyond}, std::tuple{"say.0", ansi, refused}}) {
        SCOPED_TRACE(file);
        write_file(file, line + printed + "\r\n");
        write_file("code.0", "2");
        testing::internal::CaptureStdout();
        EXPECT_EQ(run_worker(), (std::vector<std::string>{uploading_firmware,
                                                          "Firmware upload failed: Could not open COM7: " + meant}));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), line + meant + "\n");
        for (const char* name : {file, "call.0"})
            fs::remove(name);
    }
}

TEST_F(WindowsWorker, WaitsForTheToolNotForAChildHoldingItsOutput)
{
    write_file("child.0");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_worker(), (std::vector<std::string>{uploading_firmware, firmware_done,
                                                      "'fs.bin' not found, not uploading app."}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

TEST_F(WindowsWorker, AStopEndsTheRunningToolAndStartsNoOther)
{
    write_file("fs.bin");
    write_file("sleep.0", "30000");
    status_queue queue;
    flash_control control;
    std::thread worker(flash_worker, std::cref(port), std::cref(base), std::ref(queue), std::ref(control));
    while (!fs::exists("call.0"))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    control.finish_asked = true;
    control.tool_stop.request();
    worker.join();
    EXPECT_TRUE(control.interrupted);
    EXPECT_EQ(drain(queue), (std::vector<std::string>{uploading_firmware,
                                                      "Firmware upload failed: esptool was stopped before it finished"}));
    EXPECT_FALSE(fs::exists("call.1"));
}

TEST(WindowsNames, FirmwareNamesBeyondTheCodePageStayWhole)
{
    work_dir dir;
    const std::string name = "\xD0\xB1\xD0\xBB\xD0\xB8\xD0\xBD\xD0\xBA \xE7\x81\xAB";
    fs::create_directory("build");
    std::ofstream(fs::path(to_utf16("build\\" + name + ".ino.bin")));
    ASSERT_TRUE(fs::exists(fs::path(to_utf16("build\\" + name + ".ino.bin"))));
    status_queue queue;
    std::string base;
    discover_firmware(base, queue);
    EXPECT_EQ(base, name);
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"Firmware file found: " + name + ".ino.bin"}));
}

TEST(WindowsPort, HeldExclusivelyAndExplainedInWindowsWords)
{
    httplib::Server first;
    first.set_socket_options(platform::exclusive_listen_socket);
    const int port = first.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    // Another program, with the library's default options (SO_REUSEADDR).
    httplib::Server second;
    platform::clear_socket_error();
    EXPECT_FALSE(second.bind_to_port("127.0.0.1", port));
    const platform::socket_failure failure = platform::last_socket_failure();
    EXPECT_TRUE(failure.address_in_use);
    EXPECT_FALSE(failure.reason.empty());
    EXPECT_EQ(failure.reason.find("error "), std::string::npos) << failure.reason;
    EXPECT_EQ(failure.reason.find_first_of("\r\n"), std::string::npos) << failure.reason;  // Wine's texts end in CR LF
}
