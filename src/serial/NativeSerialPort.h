#pragma once
// The serial object of the system the program runs on: the Win32 one on Windows, the one on
// QSerialPort elsewhere.

#ifdef _WIN32
#include "serial/win32/Win32SerialPort.h"
namespace kelvane {
using NativeSerialPort = Win32SerialPort;
}
#else
#include "serial/qt/QtSerialPort.h"
namespace kelvane {
using NativeSerialPort = QtSerialPort;
}
#endif
