#pragma once
// The serial object and the device list of the system the program runs on: the Win32 ones on
// Windows, the POSIX ones elsewhere.

#include "serial/SystemDevices.h"
#ifdef _WIN32
#include "serial/win32/Win32SerialPort.h"
namespace kelvane {
using NativeSerialPort = Win32SerialPort;
}
#else
#include "serial/posix/PosixSerialPort.h"
namespace kelvane {
using NativeSerialPort = PosixSerialPort;
}
#endif
