// Every kind of control sequence, once. The list gives the kind's constant
// and name, the bytes the VT100-family parsers send for it (after ESC; %1
// and %2 stand for the first two parameters as GetParam reads them), and
// the final byte of a control sequence (ESC [ ... final) that means it
// whatever its parameters, with a second such byte that only the VT102
// parser takes (0: none, the kind is decided otherwise). A kind sent as
// one byte after ESC is what that byte means after ESC.
//
// The 36 kinds the VT52 and VT100 parsers share come first, in their fixed
// order; the VT102 parser's own follow. A new kind is a line here, and a
// case in the parser only where parameters, a marker or a longer form
// decide it; the VT52 parser keeps its own bytes.
#pragma once

// X(kind, bytes sent, final byte, VT102's other final byte)
#define COMPORT_ESCAPE_CODES(X)                   \
  X(ecUnknown, "", 0, 0)                          \
  X(ecNotCompleted, "", 0, 0)                     \
  X(ecCursorUp, "[A", 'A', 0)                     \
  X(ecCursorDown, "[B", 'B', 'e')                 \
  X(ecCursorLeft, "[D", 'D', 0)                   \
  X(ecCursorRight, "[C", 'C', 'a')                \
  X(ecCursorHome, "[H", 'H', 0)                   \
  X(ecCursorMove, "[%1;%2f", 'f', 0)              \
  X(ecReverseLineFeed, "", 0, 0)                  \
  X(ecAppCursorLeft, "OD", 0, 0)                  \
  X(ecAppCursorRight, "OC", 0, 0)                 \
  X(ecAppCursorUp, "OA", 0, 0)                    \
  X(ecAppCursorDown, "OB", 0, 0)                  \
  X(ecEraseLineFrom, "[K", 0, 0)                  \
  X(ecEraseScreenFrom, "[J", 0, 0)                \
  X(ecEraseLine, "[2K", 0, 0)                     \
  X(ecEraseScreen, "[2J", 0, 0)                   \
  X(ecSetTab, "H", 0, 0)                          \
  X(ecClearTab, "[g", 0, 0)                       \
  X(ecClearAllTabs, "[3g", 0, 0)                  \
  X(ecIdentify, "[c", 0, 0)                       \
  X(ecIdentResponse, "[?1;%1c", 0, 0)             \
  X(ecQueryDevice, "[5n", 0, 0)                   \
  X(ecReportDeviceOK, "[0n", 0, 0)                \
  X(ecReportDeviceFailure, "[3n", 0, 0)           \
  X(ecQueryCursorPos, "[6n", 0, 0)                \
  X(ecReportCursorPos, "[%1;%2R", 'R', 0)         \
  X(ecAttributes, "[m", 'm', 0)                   \
  X(ecSetMode, "[h", 'h', 0)                      \
  X(ecResetMode, "[l", 'l', 0)                    \
  X(ecReset, "c", 0, 0)                           \
  X(ecSaveCaretAndAttr, "7", 0, 0)                \
  X(ecRestoreCaretAndAttr, "8", 0, 0)             \
  X(ecSaveCaret, "[s", 's', 0)                    \
  X(ecRestoreCaret, "[u", 'u', 0)                 \
  X(ecTest, "#8", 0, 0)                           \
  X(ecIndex, "D", 0, 0)                           \
  X(ecNextLine, "E", 0, 0)                        \
  X(ecReverseIndex, "M", 0, 0)                    \
  X(ecScrollRegion, "[%1;%2r", 'r', 0)            \
  X(ecInsertLines, "[%1L", 'L', 0)                \
  X(ecDeleteLines, "[%1M", 'M', 0)                \
  X(ecInsertChars, "[%1@", '@', 0)                \
  X(ecDeleteChars, "[%1P", 'P', 0)                \
  X(ecEraseChars, "[%1X", 'X', 0)                 \
  X(ecEraseLineTo, "[1K", 0, 0)                   \
  X(ecEraseScreenTo, "[1J", 0, 0)                 \
  X(ecCursorColumn, "[%1G", 'G', '`')             \
  X(ecCursorRow, "[%1d", 'd', 0)                  \
  X(ecCursorNextLine, "[%1E", 'E', 0)             \
  X(ecCursorPrevLine, "[%1F", 'F', 0)             \
  /* the set in Parameters; sent by the parser */ \
  X(ecCharsetG0, "", 0, 0)                        \
  X(ecCharsetG1, "", 0, 0)                        \
  X(ecKeypadApplication, "=", 0, 0)               \
  X(ecKeypadNumeric, ">", 0, 0)                   \
  X(ecScrollUp, "[%1S", 'S', 0)                   \
  X(ecScrollDown, "[%1T", 'T', 0)                 \
  /* ESC ] n ; text BEL or ST, the number and */  \
  /* the text in Parameters; sent by the parser */ \
  X(ecOsc, "", 0, 0)                              \
  /* DCS, APC, PM, SOS: taken whole, unused */    \
  X(ecControlString, "", 0, 0)                    \
  X(ecIdentifySecondary, "[>c", 0, 0)             \
  /* DECREQTPARM; sent by the parser */           \
  X(ecRequestParameters, "", 'x', 0)              \
  X(ecRepeat, "[%1b", 'b', 0)                     \
  X(ecTabForward, "[%1I", 'I', 0)                 \
  X(ecTabBackward, "[%1Z", 'Z', 0)                \
  X(ecSoftReset, "[!p", 0, 0)
