// The serial devices of a Windows machine, from SetupAPI: every present device of the Ports
// class with a port name ("COM3"), its friendly name, maker, USB ids and serial number from
// its hardware and instance ids, and the latency timer where the driver keeps one in the
// device's registry settings (FTDI's "LatencyTimer").
#ifdef _WIN32

// clang-format off
#include <windows.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <cwctype>

#include "files/Wide.h"
#include "serial/SystemDevices.h"

namespace kelvane {

namespace {

std::wstring Property(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
  wchar_t buf[512] = {};
  DWORD type = 0;
  if (!::SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type,
                                           reinterpret_cast<BYTE*>(buf), sizeof buf - 2, nullptr))
    return {};
  return buf;  // the first string of a list
}

// "USB\VID_0403&PID_6001..." or "FTDIBUS\VID_0403+PID_6001+...": the hexadecimal after tag.
int HexAfter(const std::wstring& id, const wchar_t* tag) {
  std::wstring upper = id;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
  const auto at = upper.find(tag);
  if (at == std::wstring::npos) return -1;
  try {
    return std::stoi(upper.substr(at + std::wcslen(tag), 4), nullptr, 16);
  } catch (const std::exception&) {
    return -1;
  }
}

// The serial number in a USB instance id: "USB\VID_0403&PID_6001\A50285BI" (a number the
// system made up holds '&'), or FTDI's own "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000" (the
// number and the port's letter).
std::string SerialOf(const std::wstring& instance) {
  std::wstring upper = instance;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
  if (upper.rfind(L"USB\\", 0) == 0) {
    const auto cut = instance.find_last_of(L'\\');
    const std::wstring last = instance.substr(cut + 1);
    return last.find(L'&') == std::wstring::npos ? Narrow(last) : std::string();
  }
  if (upper.rfind(L"FTDIBUS\\", 0) == 0) {
    const auto plus = instance.find(L'+', instance.find(L'+') + 1);
    const auto end = instance.find(L'\\', plus);
    if (plus == std::wstring::npos || end == std::wstring::npos || end - plus < 3) return {};
    return Narrow(instance.substr(plus + 1, end - plus - 2));
  }
  return {};
}

bool PortExists(const std::string& name) {
  wchar_t target[1024];
  return ::QueryDosDeviceW(Widen(name).c_str(), target, std::size(target)) != 0;
}

// A named pipe, \\.\pipe\NAME, which the receiver emulator serves in place of a port.
bool IsPipe(const std::string& path) {
  constexpr char kPrefix[] = "\\\\.\\pipe\\";
  constexpr std::size_t n = sizeof kPrefix - 1;
  return path.size() > n && std::equal(kPrefix, kPrefix + n, path.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

// A pipe is there while its server is, whether or not another program has it open; asking
// does not open it.
bool PipeExists(const std::string& path) {
  if (::WaitNamedPipeW(Widen(path).c_str(), 1)) return true;
  const DWORD error = ::GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
         error != ERROR_BAD_PATHNAME;
}

// "COM3", "\\.\COM3" and "com3" all name the device COM3.
std::string PortNameOf(const std::string& path) {
  std::string name = path;
  if (name.rfind("\\\\.\\", 0) == 0) name = name.substr(4);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return name;
}

}  // namespace

SystemDevices::SystemDevices(std::string root) : root_(std::move(root)) {}

std::vector<SerialDevice> SystemDevices::Devices() const {
  std::vector<SerialDevice> out;
  HDEVINFO set = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return out;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    SerialDevice d;
    HKEY key = ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    wchar_t name[64] = {};
    DWORD size = sizeof name - 2, type = 0;
    const bool named = ::RegQueryValueExW(key, L"PortName", nullptr, &type,
                                          reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
                       type == REG_SZ;
    DWORD latency = 0;
    size = sizeof latency;
    if (::RegQueryValueExW(key, L"LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&latency),
                           &size) == ERROR_SUCCESS &&
        type == REG_DWORD)
      d.latencyTimerMs = static_cast<int>(latency);
    ::RegCloseKey(key);
    if (!named || std::wcsncmp(name, L"COM", 3) != 0) continue;  // a printer port, LPT1
    d.path = Narrow(name);
    std::wstring friendly = Property(set, info, SPDRP_FRIENDLYNAME);
    // "USB Serial Port (COM3)": the port's name is said elsewhere.
    if (const auto at = friendly.rfind(L" (COM"); at != std::wstring::npos) friendly.erase(at);
    d.description = Narrow(friendly.empty() ? Property(set, info, SPDRP_DEVICEDESC) : friendly);
    d.manufacturer = Narrow(Property(set, info, SPDRP_MFG));
    const std::wstring hardware = Property(set, info, SPDRP_HARDWAREID);
    d.vendorId = HexAfter(hardware, L"VID_");
    d.productId = d.vendorId >= 0 ? HexAfter(hardware, L"PID_") : -1;
    if (d.productId < 0) d.vendorId = -1;
    wchar_t instance[512] = {};
    if (::SetupDiGetDeviceInstanceIdW(set, &info, instance, std::size(instance), nullptr))
      d.serialNumber = SerialOf(instance);
    d.accessible = true;  // Windows keeps no per-user rights on serial ports
    out.push_back(std::move(d));
  }
  ::SetupDiDestroyDeviceInfoList(set);
  std::sort(out.begin(), out.end(), [](const SerialDevice& a, const SerialDevice& b) {
    return std::make_pair(a.path.size(), a.path) < std::make_pair(b.path.size(), b.path);
  });  // COM2 before COM10
  return out;
}

DeviceProbe SystemDevices::Probe(const std::string& path) const {
  DeviceProbe p;
  if (IsPipe(path)) {
    p.node = path;
    p.exists = p.accessible = PipeExists(path);
    return p;
  }
  p.node = PortNameOf(path);
  p.exists = PortExists(p.node);
  p.accessible = p.exists;
  return p;
}

std::optional<Holder> SystemDevices::HolderOf(const std::string&) const {
  return std::nullopt;  // Windows does not tell which program holds a port
}

}  // namespace kelvane

#endif
