#include "serial/OpenFailure.h"

namespace kelvane {

namespace {

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& s : items) out += (out.empty() ? "" : ", ") + s;
  return out;
}

std::string Present(const std::vector<std::string>& present) {
  if (present.empty()) return "No serial device is present.";
  return "Serial devices present: " + Join(present) + ".";
}

std::string ProgramOf(const Holder& h) {
  const std::string process = "process " + std::to_string(h.pid);
  return h.program.empty() ? process : h.program + " (" + process + ")";
}

}  // namespace

OpenFailure DiagnoseOpen(int port, const std::string& device, const DeviceList& system,
                         OpenCause otherwise, const std::string& systemText) {
  OpenFailure f;
  f.port = port;
  f.device = device;
  const auto listPresent = [&] {
    for (const auto& d : system.Devices()) f.present.push_back(d.StablePath());
  };
  if (device.empty()) {
    f.cause = OpenCause::NoDevice;
    listPresent();
    return f;
  }
  const DeviceProbe probe = system.Probe(device);
  f.node = probe.node;
  if (!probe.exists) {
    f.cause = OpenCause::NoSuchDevice;
    listPresent();
  } else if (!probe.accessible) {
    f.cause = OpenCause::PermissionDenied;
    f.group = probe.group;
    f.memberSinceLogin = probe.memberSinceLogin;
  } else {
    f.cause = otherwise;
    if (otherwise == OpenCause::Busy) f.holder = system.HolderOf(probe.node);
  }
  if (f.cause != OpenCause::None) f.systemText = systemText;
  return f;
}

std::string Explain(const OpenFailure& f) {
  const std::string port = "COM" + std::to_string(f.port);
  const std::string com = "Com " + std::to_string(f.port);
  std::string tried = port;
  if (!f.device.empty()) {
    tried += " (" + f.device;
    if (!f.node.empty() && f.node != f.device) tried += " -> " + f.node;
    tried += ")";
  }
  const std::string said = f.systemText.empty() ? "" : " (" + f.systemText + ")";
  switch (f.cause) {
    case OpenCause::None: return {};
    case OpenCause::NoDevice:
      return port + ": no serial device for this port.\n" + Present(f.present) +
             "\nFix: connect the adapter, choose another port, or assign a device to " + com +
             " with Ports... in the Serial Port frame's menu (right click), which stores it under "
             "\"" +
             port + "\" in the \"Ports\" section of the settings.";
    case OpenCause::NoSuchDevice:
      return tried +
             ": no such device; the adapter is unplugged or came back under another name.\n" +
             Present(f.present) +
             "\nFix: connect the adapter, or choose another port or assign it a device" +
             " (Ports... in the Serial Port frame's menu).";
    case OpenCause::PermissionDenied: {
      const std::string group = f.group.empty() ? "that owns it" : f.group;
      if (f.memberSinceLogin)
        return tried + ": permission denied.\nYou were added to the group " + group +
               " after this session began.\nFix: log out and log in again.";
      return tried + ": permission denied.\nThe device belongs to the group " + group +
             ", and this user is not a member of it.\nFix: sudo usermod -aG " + group +
             " $USER, then log out and log in again.";
    }
    case OpenCause::Busy:
      if (f.holder)
        return tried + ": busy, held by another program: " + ProgramOf(*f.holder) +
               ".\nOnly one program at a time can use a serial port.\nFix: close " +
               (f.holder->program.empty() ? "that program" : f.holder->program) + " and try again.";
#ifdef _WIN32
      // Windows says "access denied" for a port another program holds.
      return tried + ": busy, held by another program" + said +
             ".\nOnly one program at a time can use a serial port.\nFix: close that program "
             "(a terminal, another Kelvane, a modem or phone tool) and try again.";
#else
      return tried + ": busy, held by another program" + said +
             ".\nOnly one program at a time can use a serial port.\nFix: close that program "
             "(fuser " +
             (f.node.empty() ? f.device : f.node) + " names it) and try again.";
#endif
    case OpenCause::BadSettings:
      return port + ": the line settings \"" + f.settings +
             "\" are not valid.\nFix: use 115200,n,8,1.";
    case OpenCause::Other:
      return tried + ": cannot be opened" + said +
             ".\nFix: check the adapter and its cable, then try again.";
  }
  return {};
}

}  // namespace kelvane
