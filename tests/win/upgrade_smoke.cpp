// SPDX-License-Identifier: MIT
// Firmware upgrades through the Windows DLL against the simulator: images
// whose bytes a text-mode read would change, read through UTF-8 and ANSI
// paths, two devices at once, and the failures a caller must tell apart.
#include <windows.h>

#include "smoke.h"
#include "tvp.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace smoke {

namespace {

std::mutex g_mutex;
std::map<std::thread::id, std::vector<TVPUpgradeRecord>> g_records; // by the thread they arrived on

std::vector<TVPUpgradeRecord> TakeRecords()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto records = std::move(g_records[std::this_thread::get_id()]);
    g_records.erase(std::this_thread::get_id());
    return records;
}

// CR LF, lone LF and CR, Ctrl-Z and NUL in runs, between changing bytes:
// a text-mode read drops, doubles or stops at some of them.
std::vector<uint8_t> Image(size_t size, uint8_t salt)
{
    static const uint8_t hostile[] = {0x0d, 0x0a, 0x1a, 0x00, 0x0a, 0x0d, 0x0d, 0x0a};
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = i % 9 < 8 ? hostile[i % 9] : static_cast<uint8_t>(i / 9 + salt);
    return image;
}

std::string Narrow(const std::wstring &text, UINT codePage)
{
    // UTF-8 takes neither the flag nor the question; a code page must not
    // stand in "u" for what it lacks
    const bool utf8 = codePage == CP_UTF8;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL lossy = FALSE;
    const int size =
        WideCharToMultiByte(codePage, flags, text.c_str(), -1, nullptr, 0, nullptr, utf8 ? nullptr : &lossy);
    if (size <= 0 || lossy)
        return {};
    std::string out(size_t(size), '\0');
    WideCharToMultiByte(codePage, flags, text.c_str(), -1, out.data(), size, nullptr, nullptr);
    out.resize(size_t(size - 1));
    return out;
}

std::wstring Wide(const std::string &utf8)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring out(size_t(size > 0 ? size : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), size);
    out.resize(out.size() - 1);
    return out;
}

bool WriteBytes(const std::wstring &path, const std::vector<uint8_t> &bytes)
{
    FILE *f = _wfopen(path.c_str(), L"wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::optional<std::vector<uint8_t>> ReadBytes(const std::wstring &path)
{
    FILE *f = _wfopen(path.c_str(), L"rb");
    if (!f)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    uint8_t chunk[64 * 1024];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    return bytes;
}

const char *ResultText(int32_t r)
{
    static const char *const names[] = {"OK",           "no answer", "file error", "bad address",
                                        "device error", "stalled",   "local error"};
    return r >= 0 && r < 7 ? names[r] : "unknown";
}

struct Upload
{
    std::string label;
    std::string path;           // as handed to the library
    std::wstring name;          // the file name the device stores
    std::vector<uint8_t> image; // what must arrive
    std::string address;
    int32_t result = -1;
    std::vector<TVPUpgradeRecord> records;

    void Run()
    {
        result = TVPUpgradeDevice(path.c_str(), address.c_str());
        records = TakeRecords();
    }
};

// What a caller sees of a successful upload: the total first, then rising
// positions up to the whole image, and the device holding every byte.
void CheckArrived(const Upload &u, const std::wstring &store)
{
    Check(u.result == TVPUpgradeOK, u.label + ": " + ResultText(u.result));
    bool events = !u.records.empty() && u.records.front().Kind == TVPUpgradeStarted &&
                  u.records.front().Value == int32_t(u.image.size());
    int32_t last = 0;
    for (size_t i = 1; events && i < u.records.size(); ++i) {
        events = u.records[i].Kind == TVPUpgradeProgress && u.records[i].Value > last;
        last = u.records[i].Value;
    }
    events = events && last == int32_t(u.image.size());
    Check(events, u.label + ": " + std::to_string(u.records.size()) + " events, total then rising to " +
                      std::to_string(u.image.size()));
    const auto stored = ReadBytes(store + L"\\" + Wide(u.address) + L"\\" + u.name);
    size_t differ = 0;
    if (stored)
        while (differ < stored->size() && differ < u.image.size() && (*stored)[differ] == u.image[differ])
            ++differ;
    Check(stored && *stored == u.image,
          u.label + ": the device holds " +
              (stored ? std::to_string(stored->size()) + " bytes, the same up to byte " + std::to_string(differ) +
                            " of " + std::to_string(u.image.size())
                      : std::string("nothing")));
}

const Device *WithBehaviour(const std::vector<Device> &devices, const std::string &behaviour, size_t skip = 0)
{
    for (const Device &d : devices)
        if (d.upgrade == behaviour && d.address.rfind("127.", 0) == 0 && skip-- == 0)
            return &d;
    return nullptr;
}

} // namespace

void OnUpgradeEvent(const void *record)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_records[std::this_thread::get_id()].push_back(*static_cast<const TVPUpgradeRecord *>(record));
}

void UpgradeChecks(const std::vector<Device> &devices, const std::string &storeText)
{
    const Device *first = WithBehaviour(devices, "succeed", 1); // not the one whose settings moved
    const Device *second = WithBehaviour(devices, "succeed", 2);
    const Device *busy = WithBehaviour(devices, "busy-first");
    const Device *failing = WithBehaviour(devices, "fail");
    const Device *stalling = WithBehaviour(devices, "stall");
    if (!first || !second || !busy || !failing || !stalling) {
        Check(false, "the devices include two that take an upgrade, one busy at first, one failing, one stalling");
        return;
    }
    const std::wstring store = Wide(storeText);

    // a folder whose name is not ASCII, reached by UTF-8 and by ANSI bytes
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring work = std::wstring(temp) + L"netscry-smoke-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring folder = work + L"\\Pr\u00fcfstand";
    CreateDirectoryW(work.c_str(), nullptr);
    Check(CreateDirectoryW(folder.c_str(), nullptr) != 0, "image folder " + Narrow(folder, CP_UTF8));

    struct File
    {
        const wchar_t *name;
        size_t size;
    };
    // fw-b and fw-c fill their last 1428-byte block, so an empty block ends them
    const File files[] = {{L"fw-a.bin", 40000}, {L"fw-b.bin", 3 * 1428}, {L"fw-c.bin", 1428}, {L"fw-d.bin", 300000}};
    std::map<std::wstring, std::vector<uint8_t>> images;
    for (const File &f : files) {
        images[f.name] = Image(f.size, uint8_t(f.size));
        Check(WriteBytes(folder + L"\\" + f.name, images[f.name]), "wrote " + Narrow(f.name, CP_UTF8));
    }
    const auto prepared = [&](const std::string &label, const wchar_t *name, UINT codePage, const Device &d) {
        Upload u;
        u.label = label;
        u.path = Narrow(folder + L"\\" + name, codePage);
        u.name = name;
        u.image = images[name];
        u.address = d.address;
        DeleteFileW((store + L"\\" + Wide(d.address) + L"\\" + name).c_str()); // only this upload may fill it
        return u;
    };

    // one device at a time, the path in UTF-8 and in the ANSI code page
    {
        Upload u = prepared("UTF-8 path to " + first->address, L"fw-a.bin", CP_UTF8, *first);
        u.Run();
        CheckArrived(u, store);
    }
    if (Upload u = prepared("ANSI path to " + second->address, L"fw-b.bin", CP_ACP, *second); !u.path.empty()) {
        u.Run();
        CheckArrived(u, store);
    } else {
        std::printf("skip ANSI path: code page %u has no \u00fc\n", GetACP());
    }

    // two devices at once, each upload's events on its own thread
    {
        Upload a = prepared("at once to " + first->address, L"fw-d.bin", CP_UTF8, *first);
        Upload b = prepared("at once to " + second->address, L"fw-c.bin", CP_UTF8, *second);
        std::thread ta([&] { a.Run(); });
        std::thread tb([&] { b.Run(); });
        ta.join();
        tb.join();
        CheckArrived(a, store);
        CheckArrived(b, store);
    }

    // "busy" is worth the one retry the result promises
    {
        Upload u = prepared("busy device " + busy->address, L"fw-b.bin", CP_UTF8, *busy);
        u.Run();
        Check(u.result == TVPUpgradeNoAnswer, u.label + " at first: " + ResultText(u.result));
        u.label += " again";
        u.Run();
        CheckArrived(u, store);
    }

    // failures: each its own result, and no progress that reads as success
    _putenv_s("TVP_TFTP_TIMEOUT_MS", "100"); // a stall is declared after six time-outs
    const std::string missing = Narrow(folder + L"\\missing.bin", CP_UTF8);
    const std::string directory = Narrow(folder, CP_UTF8);
    const std::string image = Narrow(folder + L"\\fw-d.bin", CP_UTF8);
    struct Failure
    {
        std::string label, path, address;
        int32_t result;
        bool transferStarts;
    };
    const Failure failures[] = {
        {"a missing image", missing, first->address, TVPUpgradeFileError, false},
        {"a folder for an image", directory, first->address, TVPUpgradeFileError, false},
        {"the NUL device for an image", "NUL", first->address, TVPUpgradeFileError, false},
        {"a device that refuses", image, failing->address, TVPUpgradeDeviceError, false},
        {"a device that stops answering", image, stalling->address, TVPUpgradeStalled, true},
        {"an address without a route", image, "10.255.255.1", TVPUpgradeLocalError, false},
        {"an address with a trailing blank", image, first->address + " ", TVPUpgradeBadAddress, false},
    };
    for (const Failure &f : failures) {
        const int32_t result = TVPUpgradeDevice(f.path.c_str(), f.address.c_str());
        const auto records = TakeRecords();
        bool finished = false;
        for (const auto &r : records)
            finished = finished || (r.Kind == TVPUpgradeProgress && r.Value == int32_t(images[L"fw-d.bin"].size()));
        Check(result == f.result && records.empty() != f.transferStarts && !finished,
              f.label + ": " + ResultText(result) + ", " + std::to_string(records.size()) + " events");
    }
    _putenv_s("TVP_TFTP_TIMEOUT_MS", "");

    for (const File &f : files)
        DeleteFileW((folder + L"\\" + f.name).c_str());
    RemoveDirectoryW(folder.c_str());
    RemoveDirectoryW(work.c_str());
}

} // namespace smoke
