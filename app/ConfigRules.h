// What a module can hold, line by line: the ranges, items, texts and floats
// its records keep exactly as a .dat file writes them. A file that passes
// is sent, verified and compared value for value; one that does not would
// be changed on the way (300 kept as 44, 1e39 as INF, a long name cut) and
// is refused before anything is sent.
#pragma once

#include "Configuration.h"

#include <string>
#include <vector>

// How a text line's value travels in its record.
enum TTextRule { trText, trFloat, trCurrentMin, trByte, trHexByte };
TTextRule RuleOf(const std::string& control);

// One line the module cannot hold as written.
struct TInvalidValue {
  int Line;             // from 1, as an editor counts
  std::string Caption;  // "SYSTEM Slave No."
  std::string Value;    // as the file writes it (its number for lists and check boxes)
  std::string Reason;   // "300 is more than 255, the most the module keeps"
};

// Every line of config whose value the module cannot hold as written, in
// file order; empty for a file that can be sent as it stands.
std::vector<TInvalidValue> InvalidValues(const TConfiguration& config);
