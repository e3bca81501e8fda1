// The fixed texts of the port settings, both ways, and the list of the
// machine's serial ports. Parsing ignores letter case and falls back to a
// fixed value for a text that matches nothing; it never fails.
#pragma once

#include "CPortTypes.h"

#include <string>
#include <vector>

std::string BaudRateToStr(TBaudRate value);
std::string StopBitsToStr(TStopBits value);
std::string DataBitsToStr(TDataBits value);
std::string ParityToStr(TParityBits value);
std::string FlowControlToStr(TFlowControl value);
std::string DTRControlToStr(TDTRFlowControl value);
std::string RTSControlToStr(TRTSFlowControl value);
std::string YesNoToStr(bool value);
// Codes 33 to 127 as the character, any other as "#" and the decimal code.
std::string CharSettingToStr(char value);

int BaudRateToInt(TBaudRate value);

// Why a port could not be opened, for a user, with the usual cure: an empty
// text for a system error that needs no advice.
std::string OpenFailureAdvice(const std::string& port, int osError);
// The message of a port error as a program shows it: the exception's text,
// and for a failed open the advice above on a line of its own.
std::string ComErrorText(const EComPort& error);

TBaudRate StrToBaudRate(const std::string& text);          // else br9600
TStopBits StrToStopBits(const std::string& text);          // else sbOneStopBit
TDataBits StrToDataBits(const std::string& text);          // else dbEight
TParityBits StrToParity(const std::string& text);          // else prNone
TFlowControl StrToFlowControl(const std::string& text);    // else fcCustom
TDTRFlowControl StrToDTRControl(const std::string& text);  // else dtrDisable
TRTSFlowControl StrToRTSControl(const std::string& text);  // else rtsDisable
bool StrToYesNo(const std::string& text);                  // "YES" in any case
char StrToCharSetting(const std::string& text);

// Replaces ports with the names of the machine's serial ports. On Windows
// the system's list of COM ports (COM2 before COM10); a list that cannot be
// read raises EComPortExt code 23 with the system's error.
void EnumComPorts(std::vector<std::string>& ports);
#ifndef _WIN32
// On Linux the device paths of the serial ports, read from sysfs under sysfsRoot: on-board UARTs that are really there, USB
// adapters (ttyUSB, ttyACM) and Bluetooth links (rfcomm). Sorted without
// regard to letter case; duplicates kept. A tty class that cannot be read
// raises EComPortExt code 23 with the system's error, and ports keeps what
// it held.
void EnumComPorts(std::vector<std::string>& ports, const std::string& sysfsRoot);
// EnumComPorts(ports) reads them under ComPortsSysfsRoot ("/sys"; tests
// point it at a fake tree).
extern std::string ComPortsSysfsRoot;
#endif
