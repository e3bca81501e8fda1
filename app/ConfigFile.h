// The .dat configuration file: 98 lines, one control's value each, CR LF.
// This module knows the layout and the reading and writing rules; the window
// supplies the values and takes them back by control name.
#pragma once

#include "ChannelFields.h"

#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

enum TConfigKind {
  ckText,   // an edit box's text, as it stands
  ckIndex,  // a list's item index, -1 for no selection
  ckCheck   // a check box, 1 checked, 0 not
};

struct TConfigLine {
  std::string Control;  // form name of the control
  TConfigKind Kind;
};

// The 98 lines in file order: each channel's block, AUX (6 lines), SYSTEM
// (6), the IP address (4) and the MAC address (6).
const std::vector<TConfigLine>& ConfigLayout();

// The 0-based line of a control.
std::size_t ConfigLineOf(const std::string& control);

// Lines from here on (0-based 88, the IP and MAC boxes) may be missing.
constexpr int ConfigOptionalFrom = 4 * ChannelFieldCount + 12;

// Longest value a line of each class holds when read back.
constexpr int NumberLineLength = 4;
constexpr int TextLineLength = 10;

enum TLineClass { lcNumber, lcText };

// Reads the next line: LF ends it, a CR before the LF is dropped, the end of
// the file ends a line that has a character. A number line fails at a fifth
// character; a text line is read whole whatever its length, so the lines
// after it stay in step. Returns false when no line was read.
bool ReadConfigLine(std::istream& in, TLineClass lineClass, std::string& line);

// A value read for one line: the text for ckText, the integer otherwise.
struct TConfigValue {
  std::string Text;
  int Number = 0;
};

using TConfigApply = std::function<void(const TConfigLine&, const TConfigValue&)>;
using TConfigFetch = std::function<TConfigValue(const TConfigLine&)>;

// Reads a configuration and applies each line as soon as it is read. A
// missing or over-long line among the first 88 stops the reading silently;
// a number line that is not an integer raises the integer conversion error;
// missing IP and MAC lines are skipped.
void ReadConfig(std::istream& in, const TConfigApply& apply);

// Writes the 98 lines, texts whole and numbers in decimal, each ending CR LF.
void WriteConfig(std::ostream& out, const TConfigFetch& fetch);

// A configuration file is small: anything larger is refused unread.
constexpr std::size_t MaxConfigFileSize = 1 << 20;

// The messages of the systems' readers and writers of the file, worded
// once: "Cannot open <name>: <why>" ("-" is standard input), the reason for
// a file over MaxConfigFileSize, and "Cannot save ...; the previous file is
// unchanged".
[[noreturn]] void RaiseCannotOpen(const std::string& path, const std::string& why);
std::string TooLargeReason();
[[noreturn]] void RaiseCannotSave(const std::string& path, const std::string& why);

// The bytes of a configuration file, or of standard input for "-". What is
// not a regular file (a FIFO would block for ever, a device never end), a
// file over MaxConfigFileSize, or one that cannot be read raises an
// Exception naming the file and the reason.
std::string ReadConfigText(const std::string& path);

// Reads path (ReadConfigText) as ReadConfig does; a file that cannot be
// read raises an Exception naming the file and the reason, before anything
// is applied.
void LoadConfigFile(const std::string& path, const TConfigApply& apply);

// Writes path through a temporary file in the same folder that replaces the
// target only once complete and flushed to disk, so a failed save leaves the
// previous file as it was. Failure raises an Exception naming the file and
// the reason.
void SaveConfigFile(const std::string& path, const TConfigFetch& fetch);
