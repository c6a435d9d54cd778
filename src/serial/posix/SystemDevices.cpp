#include "serial/SystemDevices.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>

#include "serial/PortMap.h"

namespace kelvane {

namespace fs = std::filesystem;

namespace {

// USB ids and names sit in the USB device's directory, a few levels above the tty's
// device directory (the interface, then the device).
constexpr int kUsbLevels = 4;
// Where lock files of serial devices are kept ("LCK..ttyUSB0" holding the owner's pid).
constexpr const char* kLockFolders[] = {"/var/lock", "/run/lock", "/var/spool/locks",
                                        "/var/spool/uucp"};

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

int Number(const std::string& text, int base) {
  if (text.empty()) return -1;
  try {
    std::size_t used = 0;
    const long v = std::stol(text, &used, base);
    return used == text.size() && v >= 0 && v <= 0xFFFFFF ? static_cast<int>(v) : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

// Two paths name the same device node: the same file type and device number (a character
// device is told apart by its number, not its inode; libstdc++'s equivalent() refuses
// devices), or for other files the same inode.
bool SameNode(const fs::path& a, const fs::path& b) {
  struct stat sa {};
  struct stat sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  if ((sa.st_mode & S_IFMT) != (sb.st_mode & S_IFMT)) return false;
  if (S_ISCHR(sa.st_mode) || S_ISBLK(sa.st_mode)) return sa.st_rdev == sb.st_rdev;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool IsNumber(const std::string& s) {
  return !s.empty() &&
         std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::string GroupName(gid_t gid) {
  if (const group* g = ::getgrgid(gid)) return g->gr_name;
  return std::to_string(gid);
}

// The user is in the group by the group database, though this process is not: the group was
// joined after the session began.
bool JoinedSinceLogin(gid_t gid) {
  const int count = ::getgroups(0, nullptr);
  if (count < 0) return false;
  std::vector<gid_t> now(static_cast<std::size_t>(count) + 1);
  const int got = ::getgroups(count, now.data());
  now.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  if (::getegid() == gid || std::find(now.begin(), now.end(), gid) != now.end()) return false;
  const passwd* pw = ::getpwuid(::getuid());
  if (!pw) return false;
  int n = 64;
  std::vector<gid_t> listed(static_cast<std::size_t>(n));
  if (::getgrouplist(pw->pw_name, pw->pw_gid, listed.data(), &n) < 0) {
    listed.resize(static_cast<std::size_t>(n));
    if (::getgrouplist(pw->pw_name, pw->pw_gid, listed.data(), &n) < 0) return false;
  }
  listed.resize(static_cast<std::size_t>(n));
  return std::find(listed.begin(), listed.end(), gid) != listed.end();
}

}  // namespace

SystemDevices::SystemDevices(std::string root) : root_(std::move(root)) {
  while (!root_.empty() && root_.back() == '/') root_.pop_back();
}

std::string SystemDevices::At(const std::string& absolute) const { return root_ + absolute; }

std::vector<SerialDevice> SystemDevices::Devices() const {
  std::error_code ec;
  std::map<std::string, SerialDevice> found;
  for (const auto& entry : fs::directory_iterator(At("/sys/class/tty"), ec)) {
    const fs::path tty = entry.path();
    const std::string name = tty.filename().string();
    // Consoles and virtual terminals have no device; a built-in port without hardware
    // behind it reports the port type 0.
    if (!fs::exists(tty / "device", ec) ||
        (fs::exists(tty / "type", ec) && FirstLine(tty / "type") == "0"))
      continue;
    const fs::path node = At("/dev/" + name);
    if (!fs::exists(node, ec)) continue;

    SerialDevice d;
    d.path = node.string();
    const fs::path device = fs::canonical(tty / "device", ec);
    if (!ec) {
      d.latencyTimerMs = Number(FirstLine(device / "latency_timer"), 10);
      fs::path dir = device;
      for (int level = 0; level < kUsbLevels && dir.has_relative_path();
           ++level, dir = dir.parent_path()) {
        if (!fs::exists(dir / "idVendor", ec)) continue;
        d.vendorId = Number(FirstLine(dir / "idVendor"), 16);
        d.productId = Number(FirstLine(dir / "idProduct"), 16);
        d.manufacturer = FirstLine(dir / "manufacturer");
        d.description = FirstLine(dir / "product");
        d.serialNumber = FirstLine(dir / "serial");
        break;
      }
    }
    d.accessible = ::access(d.path.c_str(), R_OK | W_OK) == 0;
    if (struct stat st{}; ::stat(d.path.c_str(), &st) == 0) d.group = GroupName(st.st_gid);
    found[d.path] = std::move(d);
  }

  // Stable names: the first by-id link (in name order) that ends at each node.
  std::vector<fs::path> links;
  for (const auto& entry : fs::directory_iterator(At("/dev/serial/by-id"), ec))
    links.push_back(entry.path());
  std::sort(links.begin(), links.end());
  for (const auto& link : links) {
    const fs::path target = fs::canonical(link, ec);
    if (ec) continue;
    for (auto& [path, d] : found)
      if (d.byId.empty() && SameNode(target, path)) d.byId = link.string();
  }

  std::vector<std::string> paths;
  for (const auto& [path, d] : found) paths.push_back(path);
  std::vector<SerialDevice> out;
  for (const auto& path : SortDevices(paths)) out.push_back(found[path]);
  return out;
}

DeviceProbe SystemDevices::Probe(const std::string& path) const {
  DeviceProbe p;
  std::error_code ec;
  if (path.empty() || !fs::exists(path, ec)) return p;
  p.exists = true;
  const fs::path node = fs::canonical(path, ec);
  p.node = ec ? path : node.string();
  p.accessible = ::access(p.node.c_str(), R_OK | W_OK) == 0;
  struct stat st {};
  if (::stat(p.node.c_str(), &st) == 0) {
    p.group = GroupName(st.st_gid);
    if (!p.accessible) p.memberSinceLogin = JoinedSinceLogin(st.st_gid);
  }
  return p;
}

std::optional<Holder> SystemDevices::HolderOf(const std::string& node) const {
  std::error_code ec;
  const auto programOf = [this](int pid) {
    return FirstLine(At("/proc/" + std::to_string(pid) + "/comm"));
  };

  // A lock file names its owner; it counts only while that process lives.
  std::vector<std::string> folders;
  for (const char* f : kLockFolders) folders.push_back(At(f));
  if (root_.empty()) folders.push_back(fs::temp_directory_path(ec).string());
  const std::string lockName = "LCK.." + fs::path(node).filename().string();
  for (const auto& folder : folders) {
    const fs::path lock = fs::path(folder) / lockName;
    if (folder.empty() || !fs::exists(lock, ec)) continue;
    const std::string first = FirstLine(lock);
    const auto begin = first.find_first_not_of(' ');
    const int pid = begin == std::string::npos ? -1 : Number(first.substr(begin), 10);
    if (pid > 0 && fs::exists(At("/proc/" + std::to_string(pid)), ec))
      return Holder{pid, programOf(pid)};
  }

  // Else any process whose open files this user may see.
  for (const auto& proc : fs::directory_iterator(At("/proc"), ec)) {
    const std::string pid = proc.path().filename().string();
    if (!IsNumber(pid)) continue;
    std::error_code denied;
    for (const auto& fd : fs::directory_iterator(proc.path() / "fd", denied)) {
      std::error_code unreadable;
      if (fs::read_symlink(fd.path(), unreadable).string() == node) {
        const int id = Number(pid, 10);
        return Holder{id, programOf(id)};
      }
    }
  }
  return std::nullopt;
}

}  // namespace kelvane
