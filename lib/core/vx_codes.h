// The library's error and warning codes by name: the index of each message in vx_errmsg and
// vx_warnmsg. The numbers are public (callers test returned codes, users read them in reports),
// so an entry never moves and a new one goes only where the table has room.
#pragma once

namespace tarsa {

namespace err {
enum Code : int {
  NoMemory = 0,                  // "no enough memory"
  TooManyArguments = 1,          // "too many argument"
  ValueOutOfRange = 2,           // "value %u %s out of range [ %u ; %u ]"
  InvalidValue = 3,              // "invalid value"
  UnknownCommand = 4,            // "unknown command '%s'"
  InvalidIdentifier = 5,         // "invalid identifier '%s'"
  SymbolDefined = 6,             // "symbol '%s' already defined"
  UnknownDeviceClass = 7,        // "unknown device class '%s'"
  DeviceDefined = 8,             // "device '%s' of class '%s' already defined"
  InvalidNumber = 9,             // "invalid number '%s'"
  CannotOpenFile = 10,           // "unable to open file '%s'"
  NoBusForDevice = 11,           // "no bus found for device '%s'"
  InvalidOrderFlags = 12,        // "invalid order flags setting"
  NoExclusiveAccess = 13,        // "unable to gain exclusive access"
  DeviceInUse = 14,              // "device in use"
  CannotUnlinkDevice = 15,       // "unable to unlink device from bus devices"
  CannotOpenBus = 16,            // "unable to open '%s' bus"
  CannotScanBus = 17,            // "unable to scan '%s' bus"
  NoDeviceAtAddress = 18,        // "no device found with (%u,%u)"
  CannotOpenDirectory = 19,      // "unable to open directory '%s'"
  NoDeviceNamed = 20,            // "no device found with (%s)"
  SymbolNotDefined = 21,         // "symbol '%s' not defined"
  NoSection = 22,                // "no section defined ! %s '%s' must be defined in a section"
  TooFewCommandArguments = 23,   // "command '%s' requires a minimum of %d arguments"
  TooManyCommandArguments = 24,  // "command '%s' accepts a maximum of %d arguments"
  UnknownBusName = 25,           // "unknow bus name '%s'"
  NoModuleBusAddress = 26,       // "no module bus address defined"
  NoModuleBus = 27,              // "no module bus specified"
  InvalidDeviceName = 28,        // "invalid device name '%s'"
  ModuleNotInitialized = 29,     // "module '%s' not initialized"
  SoundDuplex = 30,              // "Unable to enable DUPLEX"
  SoundFragment = 31,            // "Unable to set fragment"
  SoundFragExponent = 32,        // "Bad FragExponent (%d!=%d)"
  SoundInputPointer = 33,        // "Unable to get IPTR"
  SoundOutputPointer = 34,       // "Unable to get OPTR"
  CannotCreateThread = 35,       // "Cannot create pthread (%s)"
  BadSoundFile = 36,             // "Bad sound file format (%s)"
  CannotMapMemory = 37,          // "Unable to map memory at 0x%lx"
  LrfCannotOpenSerial = 38,      // "Cannot open serial connexion to the LRF card as %s"
  LrfTooMuchData = 39,           // "Too much data was about to be received, ..."
  StxTimeout = 40,               // "Timeout waiting for STX byte"
  EtxTimeout = 41,               // "Timeout waiting for ETX byte"
  WrongStx = 42,                 // "Wrong STX has been received : 0x%2.2X"
  WrongEtx = 43,                 // "Wrong ETX has been received : 0x%2.2X"
  DataTimeout = 44,              // "Timeout waiting for Data"
  CrcMismatch = 45,              // "The CRC computed doesn't match expected!"
  LrfSendFailed = 46,            // "Problem sending data to the LRF"
  LrfNoCertificationCode = 47,   // "Problem receiving certification code from LRF"
  LrfCommandFailed = 48,         // "Error while sending command to LRF"
  LrfDistancesFailed = 49,       // "Error while receiving distances from LRF"
  LrfDataFailed = 50,            // "Error while receiving datas from LRF"
  Tarsa3FrameFormat = 51,        // "... from Tarsa3 - Unexpected frame size format"
  Tarsa3FrameSize = 52,          // "... from Tarsa3 - Frame size Real(%d)!=Expected(%d)"
  Tarsa3SendFailed = 53,         // "Error while sending command to Tarsa3"
  Tarsa3InitFailed = 54,         // "Unable to initialize the libtarsa from Tarsa3 init"
  Tarsa4ReceiveFailed = 55,      // "Error while receiving command from Tarsa4 (%d)"
  Tarsa4SendFailed = 56,         // "Error while sending command to Tarsa4 (%d)"
  Tarsa4InitFailed = 57,         // "Unable to initialize the libtarsa from Tarsa4 init"
  Tarsa4NotInitialized = 58,     // "Tarsa4 not initialized"
  Count                          // messages in vx_errmsg before its null end marker
};
}  // namespace err

namespace warn {
enum Code : int {
  NoConfigFile = 0,         // "no configuration file available in %s"
  CannotOpenDirectory = 1,  // "unable to open directory '%s'"
  HandlingClient = 2,       // "Handling client %s"
  ReadError = 3,            // "i/o error in reading file '%s' !"
  SamplePlayError = 4,      // "error in playing sample errno=%d"
  Count                     // messages in vx_warnmsg before its null end marker
};
}  // namespace warn

}  // namespace tarsa
