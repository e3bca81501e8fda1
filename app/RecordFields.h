// The module's records field by field, so that what a module holds can be
// checked byte for byte against what it was sent, and every difference named
// as the window names the field.
#pragma once

#include "Configuration.h"

#include <string>
#include <vector>

// The groups a write sends, in the order it sends them.
enum TRecordGroup { rgCh1, rgCh2, rgCh3, rgCh4, rgAux, rgSystem, rgClock, rgNet, rgMac };
std::string GroupName(TRecordGroup group);  // "CH1" ... "AUX", "SYSTEM", "clock", "IP", "MAC"

// The fields in which the module differs from what it should hold, for the
// given groups (the clock has nothing to read back). Both sides are shown
// exactly: a float by the shortest text that reads back to it (9.54, not the
// window's 9.5), a list by its item, reserved bytes in hex. The address
// groups compare the bytes the module reads back (22 of the IP record, 7 of
// the MAC record).
std::vector<TDifference> RecordDifferences(const TModuleImage& expected, const TModuleImage& module,
                                           const std::vector<TRecordGroup>& groups);

// The values of module that a .dat file cannot keep: the file the window's
// Save (and --read) writes of it, read back, would not send exactly what the
// module holds (a list or check box byte the window cannot show, a 4~20 mA
// minimum outside -100 to 100, a float that is no number, a text with a line
// break). File says what the file would hold or send; empty when it keeps
// every value.
std::vector<TDifference> ValuesAFileCannotKeep(const TModuleImage& module);
