// The Windows layers under Wine: the board in the registry, the process
// runner with a stand-in esptool.exe, names beyond the code page, the
// exclusive port.

#include "app/status_queue.h"
#include "flash/discovery.h"
#include "flash/flash_worker.h"
#include "station/image_set.h"
#include "station/record_log.h"
#include "platform/process.h"
#include "platform/record_file.h"
#include "platform/socket_options.h"
#include "platform/standard_streams.h"
#include "platform/usb_boards.h"
#include "platform/windows/windows_text.h"
#include "support/tool_calls.h"
#include "support/work_dir.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <gtest/gtest.h>
#include <cfgmgr32.h>
#include <fcntl.h>
#include <io.h>
#include <setupapi.h>
#include <cwchar>
#include <devpropdef.h>
#include <thread>
#include <tuple>

namespace fs = std::filesystem;
using platform::windows::to_utf16;

// The program calls FlushFileBuffers through its import entry: defined here,
// the entry counts the calls, then makes the system's.
namespace {
std::atomic<int> flushes = 0;
BOOL WINAPI counting_flush(HANDLE file)
{
    static const auto flush = reinterpret_cast<decltype(&::FlushFileBuffers)>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "FlushFileBuffers")));
    ++flushes;
    return flush(file);
}
}  // namespace
extern "C" {
decltype(&::FlushFileBuffers) __imp_FlushFileBuffers = counting_flush;
}

namespace {

// Removes a device's key, and the key above it once no other device is left there.
void unregister(const std::wstring& key)
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.substr(0, key.rfind(L'\\')).c_str());
}

// A board's serial function as Windows lists it, written into the registry
// for the life of the object.
class registered_board {
public:
    registered_board(const std::wstring& device, const std::wstring& instance, const std::wstring& port_name)
        : key_(L"System\\CurrentControlSet\\Enum\\USB\\" + device + L"\\" + instance)
    {
        HKEY key = nullptr;
        const std::wstring& path = key_;
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
    ~registered_board() { unregister(key_); }
    registered_board(const registered_board&) = delete;
    registered_board& operator=(const registered_board&) = delete;

    static void set(HKEY key, const wchar_t* name, const std::wstring& value)
    {
        ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }

private:
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

// Missing from MinGW's setupapi.h.
extern "C" __declspec(dllimport) BOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*,
                                                                       DEVPROPTYPE, const BYTE*, DWORD, DWORD);

// A board's composite device, USB\VID_303A&PID_1001\instance, whose
// instance identifier is its serial number when unique; and its serial
// function (interface 0) as the device's child.
class registered_composite {
public:
    registered_composite(const std::wstring& instance, bool unique, const std::wstring& function,
                         const std::wstring& port_name)
        : key_(L"System\\CurrentControlSet\\Enum\\USB\\VID_303A&PID_1001\\" + instance),
          function_(L"VID_303A&PID_1001&MI_00", function, port_name)
    {
        HKEY key = nullptr;
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        registered_board::set(key, L"ClassGUID", L"{36fc9e60-c465-11cf-8056-444553540000}");
        const DWORD capabilities = CM_DEVCAP_REMOVABLE | (unique ? CM_DEVCAP_UNIQUEID : 0);
        ::RegSetValueExW(key, L"Capabilities", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&capabilities), 4);
        ::RegCloseKey(key);

        // What Windows answers for the function's parent.
        const DEVPROPKEY parent = {{0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}, 8};
        const std::wstring parent_id = L"USB\\VID_303A&PID_1001\\" + instance;
        const HDEVINFO set = ::SetupDiCreateDeviceInfoList(nullptr, nullptr);
        SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
        EXPECT_TRUE(::SetupDiOpenDeviceInfoW(set, (L"USB\\VID_303A&PID_1001&MI_00\\" + function).c_str(), nullptr, 0,
                                             &data));
        EXPECT_TRUE(::SetupDiSetDevicePropertyW(set, &data, &parent, DEVPROP_TYPE_STRING,
                                                reinterpret_cast<const BYTE*>(parent_id.c_str()),
                                                static_cast<DWORD>((parent_id.size() + 1) * 2), 0));
        ::SetupDiDestroyDeviceInfoList(set);
    }
    ~registered_composite() { unregister(key_); }
    registered_composite(const registered_composite&) = delete;
    registered_composite& operator=(const registered_composite&) = delete;

private:
    std::wstring key_;
    registered_board function_;
};

}  // namespace

namespace platform {
void PrintTo(const usb_board& board, std::ostream* out) { *out << board.serial << ' ' << board.port << ' ' << board.location; }
}  // namespace platform

namespace {

platform::usb_board listed(const std::string& serial, const std::string& port, const std::string& function)
{
    return {serial, port, "USB\\VID_303A&PID_1001&MI_00\\" + function};
}

}  // namespace

TEST(WindowsBoards, EachPresentOneWithTheSerialNumberOfItsCompositeDevice)
{
    list_present_devices_only();
    const registered_composite first(L"F4:12:FA:00:00:01", true, L"7&1A2B&0&0000", L"COM7");
    const registered_composite second(L"F4:12:FA:00:00:02", true, L"7&3C4D&0&0000", L"COM8");
    // No serial number: Windows names the device after where it is plugged in.
    const registered_composite anonymous(L"6&5E6F&0&3", false, L"7&7A8B&0&0000", L"COM9");
    const registered_composite remembered(L"F4:12:FA:00:00:04", true, L"0&REMEMBERED&0000", L"COM3");
    const registered_board other_function(L"VID_303A&PID_1001&MI_02", L"7&1A2B&0&0002", L"COM10");
    EXPECT_EQ(platform::list_boards(),
              (std::vector<platform::usb_board>{listed("F4:12:FA:00:00:01", "COM7", "7&1A2B&0&0000"),
                                                listed("F4:12:FA:00:00:02", "COM8", "7&3C4D&0&0000"),
                                                listed("", "COM9", "7&7A8B&0&0000")}));

    platform::board_watch watch;
    EXPECT_FALSE(watch.wait(std::chrono::milliseconds(0)));
    {
        const registered_composite plugged(L"F4:12:FA:00:00:05", true, L"7&9C0D&0&0000", L"COM11");
        EXPECT_TRUE(watch.wait(std::chrono::seconds(5)));
        EXPECT_FALSE(watch.wait(std::chrono::milliseconds(0)));
    }
    watch.wake();
    EXPECT_FALSE(watch.wait(std::chrono::hours(1)));
    EXPECT_TRUE(watch.wait(std::chrono::seconds(5)));  // the board unplugged meanwhile
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
    const std::string no_trouble;  // the set is complete

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
        flash_worker(port, base, no_trouble, queue, control);
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
    std::thread worker(flash_worker, std::cref(port), std::cref(base), std::cref(no_trouble), std::ref(queue),
                       std::ref(control));
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

// A record file that holds lines already: they stay, and each record is
// flushed to the disk before append returns.
TEST(WindowsRecordFile, KeepsItsOldLinesAndFlushesEachRecord)
{
    work_dir dir;
    std::ofstream("records.jsonl", std::ios::binary) << "old\n";
    {
        platform::record_file file;
        ASSERT_EQ(file.open("records.jsonl"), "");
        for (int i = 0; i < 3; ++i) {
            const int before = flushes;
            std::size_t written = 0;
            ASSERT_EQ(file.append("record " + std::to_string(i) + "\n", written), "");
            EXPECT_EQ(flushes - before, 1) << "record " << i;
        }
    }
    std::ifstream in("records.jsonl", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old\nrecord 0\nrecord 1\nrecord 2\n");
}

// Two sessions started in one second each keep a record file of their own.
TEST(WindowsRecordFile, TwoSessionsStartedInOneSecondEachHaveAFileOfTheirOwn)
{
    work_dir dir;
    const std::wstring previous = ::_wgetenv(L"LOCALAPPDATA") != nullptr ? ::_wgetenv(L"LOCALAPPDATA") : L"";
    ASSERT_EQ(::_wputenv_s(L"LOCALAPPDATA", dir.path().c_str()), 0);
    const auto start = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    record_log first({}, start, nullptr), second({}, start + std::chrono::milliseconds(900), nullptr);
    for (record_log* log : {&first, &second})
        ASSERT_EQ(log->keep({}), "");
    EXPECT_NE(first.place(), second.place());
    ::_wputenv_s(L"LOCALAPPDATA", previous.c_str());
}

// The start-up sweep: a copy a killed station left goes (the system closed its
// lock file); a running station's copy, a folder just made (not yet locked)
// and the user's own folder named alike stay.
TEST(WindowsImageSet, TheSweepRemovesOnlyACopyAKilledStationLeft)
{
    work_dir dir;
    wchar_t previous[MAX_PATH + 1] = L"";
    ::GetEnvironmentVariableW(L"TMP", previous, MAX_PATH);
    ASSERT_TRUE(::SetEnvironmentVariableW(L"TMP", dir.path().c_str()));
    const platform::private_folder live("vornhale-images-");
    write_file("fs.bin", "x");
    live.copy_in("fs.bin", "fs.bin");
    fs::create_directory("vornhale-images-dead01");
    for (const auto& entry : fs::directory_iterator(live.path()))  // the lock file, shared with nobody, comes empty
        std::ofstream("vornhale-images-dead01" / entry.path().filename(), std::ios::binary)
            << std::ifstream(entry.path(), std::ios::binary).rdbuf();
    fs::create_directory("vornhale-images-young1");
    write_file("vornhale-images-backup/notes.txt");
    image_set::remove_left_copies();
    std::set<fs::path> left;
    for (const auto& entry : fs::directory_iterator("."))
        if (entry.is_directory())
            left.insert(entry.path().filename());
    ::SetEnvironmentVariableW(L"TMP", previous);
    EXPECT_EQ(left, (std::set<fs::path>{live.path().filename(), "vornhale-images-young1", "vornhale-images-backup"}));
    EXPECT_TRUE(fs::exists(live.path() / "fs.bin"));
}

// Started with standard error closed: the null device takes its place, not
// the next file opened.
TEST(WindowsStreams, AClosedStandardErrorGetsTheNullDeviceNotTheNextFile)
{
    work_dir dir;
    const int saved = ::_dup(2);
    ::_close(2);
    platform::open_missing_standard_streams();
    const int later = ::_wopen(L"later.txt", _O_WRONLY | _O_CREAT | _O_BINARY, 0600);
    const DWORD type = ::GetFileType(reinterpret_cast<HANDLE>(::_get_osfhandle(2)));
    ::_close(later);
    ::_dup2(saved, 2);
    ::_close(saved);
    EXPECT_NE(later, 2);
    EXPECT_EQ(type, static_cast<DWORD>(FILE_TYPE_CHAR));
}
