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
    if (otherwise == OpenCause::PermissionDenied) f.group = probe.group;
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
      if (f.memberSinceLogin)
        return tried + ": permission denied.\nYou were added to the group " + f.group +
               " after this session began.\nFix: log out and log in again.";
      const std::string owner = f.group.empty() ? "" : " belongs to the group " + f.group + ",";
      return tried + ": permission denied.\nThe device" + owner +
             " and this user may not open it.\nFix: " + AccessFix(f.group) + ".";
    }
    case OpenCause::Busy: {
      // The system's own words for a lock taken elsewhere say nothing the user can act on.
      const std::string close =
          f.holder && !f.holder->program.empty() ? f.holder->program : "that program";
#ifdef _WIN32
      // Windows does not tell which program holds a port.
      const std::string which = " (a terminal, another Kelvane, a modem or phone tool)";
#else
      const std::string node = f.node.empty() ? f.device : f.node;
      const std::string which = " (fuser " + node + " names it)";
#endif
      return tried + ": busy, another program has it open" +
             (f.holder ? ": " + ProgramOf(*f.holder) : "") +
             ".\nOnly one program at a time can use a serial port.\nFix: close " + close +
             (f.holder ? "" : which) + " and try again.";
    }
    case OpenCause::BadSettings:
      return port + ": the line settings \"" + f.settings +
             "\" are not valid.\nFix: use 115200,n,8,1.";
    case OpenCause::Other:
      return tried + ": cannot be opened" + said +
             ".\nFix: check the adapter and its cable, then try again.";
  }
  return {};
}

std::string ExplainLost(int port, const std::string& device, const std::string& why) {
  return "COM" + std::to_string(port) + " (" + device + "): the line was lost" +
         (why.empty() ? "" : " (" + why + ")") +
         "; the adapter was unplugged or the far end closed.";
}

}  // namespace kelvane
