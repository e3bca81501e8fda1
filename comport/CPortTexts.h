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

