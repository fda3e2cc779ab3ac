// Our bootstrap-loader library for the MSP430F5xx USB loader (vendor 0x2047, product 0x0200),
// speaking its HID protocol through hidapi. Every function may be called from any thread (each
// holds the library's lock while it works, and hands back values, never its own state); the
// library keeps one open loader connection and one open TI-TXT file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bsl430/ti_txt.h"
#include "platform/device_watch.h"

// One block of memory, as the sequence and the library hand it to each other by value.
struct DataBlock_ {
  uint8_t bytes[10240];
  uint32_t byteCount;
  uint32_t startAddress;
};
static_assert(sizeof(DataBlock_) == 10248);

// The last reply as the library keeps it: 0x80, the reply's length (two bytes, low first),
// a zero byte, the reply code (0x3A data, 0x3B message), then the reply's data from byte 5.
// A CRC reply thus has its low byte at 5 and its high byte at 6.
struct dataBuffer {
  uint8_t bytes[260];
};

inline constexpr uint16_t kLoaderVendorId = 0x2047;
inline constexpr uint16_t kLoaderProductId = 0x0200;

void BSL_setFamily(uint32_t family);
void BSL_setCom(uint32_t com);
// "PID=0x0200,VID=0x2047,DEVICEINDEX=0": 1 when the loader cannot be opened, else 0. With
// ",PORT=P" only a loader plugged in at P is counted by the index.
uint8_t BSL_initialize_BSL(const char* connection);
uint8_t BSL_close_BSL();

DataBlock_ BSL_readTI_Text(const char* text, uint32_t maxBytes);
DataBlock_ BSL_getDefaultPass();
// 0 when the loader accepted the password.
uint8_t BSL_RX_Password(DataBlock_ password);
// Writes a TI-TXT text (flag 1: without waiting for a reply to each block); 0 when written.
uint32_t BSL_RX_TXT(const char* text, uint8_t fast);
uint32_t BSL_RX_TXT_File(const char* path, uint8_t fast);
// The same for an image already read: a firmware file is read and checked once, and what
// was checked is what gets written and verified.
uint32_t BSL_RX_Image(const bsl430::TiTxtImage& image, uint8_t fast);
uint8_t BSL_LoadPC(uint32_t address);
// "Vendor: VV, CI: CC, API: AA, PI: PP", or "ERROR".
std::string BSL_TX_BSL_Version_String();
uint8_t BSL_eraseSegment(uint32_t address);
uint8_t BSL_CRC_Check(uint32_t address, uint32_t length);
dataBuffer BSL_get_RX_Buffer();

// -2 when the file cannot be read as TI-TXT; the reason is in BSL_lastFileError().
int32_t BSL_openTI_TextForRead(const char* path);
// Serves the blocks of an image already read, as BSL_openTI_TextForRead does those of a file.
void BSL_openTI_Image(const bsl430::TiTxtImage& image);
int32_t BSL_moreDataToRead_TextFile();
DataBlock_ BSL_readTI_TextFile(uint32_t maxBytes);
void BSL_closeTI_Text();
std::string BSL_lastFileError();

// Loader devices on the bus, counted by distinct path.
uint32_t BSL_NumOfUSBDevices(uint16_t vendorId, uint16_t productId);
// Their paths, in the order the bus lists them.
std::vector<std::string> BSL_USBDevicePaths(uint16_t vendorId, uint16_t productId);
// And where each is plugged in (empty where the system cannot say).
struct LoaderOnBus {
  std::string path;
  std::string port;
};
std::vector<LoaderOnBus> BSL_USBDevices(uint16_t vendorId, uint16_t productId);

// The watch the windows' registrations use (platform/device_watch.h).
void BSL_setDeviceWatch(DeviceWatch* watch);

// 0 when registered; the notification arrives on the thread that registered.
uint8_t BSL_RegisterUSBDeviceNotification(USBDeviceNotification notify);
uint8_t BSL_UnRegisterUSBDeviceNotification();
