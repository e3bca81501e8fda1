// What the command line says of each module: a result in text or as one
// JSON object, in UTF-8 whatever the module's 8-bit texts hold.
#pragma once

#include "Batch.h"
#include "ConfigRules.h"
#include "RecordFields.h"

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

struct TPortResult {
  std::string Port;
  std::string File;    // the file read, written or compared
  std::string Serial;  // the module's serial number (8-bit text), once read
  std::string Mac;     // the module's MAC address ("00:1A:2B:3C:4D:EE"), once read
  int Status = bsSuccess;
  std::string Result;  // "ok", "unverified", "differs", "refused", "invalid", "error", "interrupted"
  std::string Summary;
  std::vector<TRecordGroup> Written;  // the groups that reached the module, in order
  std::vector<TRecordGroup> Unchecked;  // of those, the ones not read back (the clock; all with --no-verify)
  bool Verified = false;  // every group that can be read back was, and holds what was sent
  std::string Step;  // the step under way, or the one that failed
  std::vector<TDifference> Differences;
  std::vector<TInvalidValue> Invalid;  // the file's values the module cannot hold
  std::string Error;
  // What the line's faults made the run try again: each group sent more
  // than once, by how many times more; each read ("load", "MAC load",
  // "IP load") and the send commands' go-aheads ("go-ahead"), by
  // the answers asked for beyond the two a clean line needs.
  std::vector<std::pair<std::string, int>> Retries;
  int AnswersAskedAgain = 0;
  bool Interrupted = false;
  double Seconds = 0;
};

// "CH1–CH3 written; CH4, AUX, SYSTEM not"
std::string WrittenState(const TBatchOptions& options, const TPortResult& result);

// The result of one module as lines of text (results on out, errors on err).
void ReportText(const TBatchOptions& options, const TPortResult& result, std::ostream& out, std::ostream& err);
// "3 values the module cannot hold as written; no module was touched"
std::string InvalidSummary(const TBatchOptions& options, const std::vector<TInvalidValue>& invalid);
// Each of the file's invalid values on a line of its own, then the summary
// (on err: the file is refused).
void ReportInvalid(const TBatchOptions& options, const TPortResult& result, std::ostream& err);
// After an interrupt: whether the module is done, partly written or untouched.
std::string StateLine(const TBatchOptions& options, const TPortResult& result);
// The result of one module as one line of JSON (ASCII: every other
// character escaped).
std::string JsonRecord(const TBatchOptions& options, const TPortResult& result);

// 8-bit text (the module's and the .dat file's) as UTF-8.
std::string Utf8FromLatin1(const std::string& bytes);
// A message or a path: kept when it is UTF-8 already, else read as 8-bit.
std::string Utf8Text(const std::string& text);
