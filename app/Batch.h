// Configuring modules from the command line: read a module into a .dat
// file, write a file to a module and verify it, compare a module with a
// file; several modules at once, one port each. No window, no display.
#pragma once

#include "Configuration.h"
#include "SysUtils.h"

#include <memory>
#include <ostream>
#include <string>
#include <vector>

enum TBatchAction { baNone, baRead, baWrite, baCompare };

struct TBatchOptions {
  std::vector<std::string> Ports;
  TBatchAction Action = baNone;
  std::string File;
  bool Verify = true;
  bool SetClock = false;
  bool WithAddress = false;
  bool Json = false;
};

// Exit statuses a script can trust.
enum : int {
  bsSuccess = 0,
  bsModule = 1,  // a module answered but differs or refused (verify failed, short load)
  bsPort = 2,    // a port or file error (cannot open, not ready, device vanished)
  bsUsage = 64,
};

// Reads the batch options out of the arguments; a usage error raises
// Exception with its text. Options that are not the batch mode's (such as
// the window's --port alone) leave Action at baNone.
TBatchOptions ParseBatchOptions(const std::vector<std::string>& args);

// The file --read writes for port when there are several ports: the port's
// name goes before the extension ("module.dat" and /dev/ttyUSB1 give
// "module-ttyUSB1.dat").
std::string FileForPort(const std::string& file, const std::string& port, bool severalPorts);

// Works on every port in parallel and reports each on out (a line each, or
// a JSON object each); returns the exit status.
int RunBatch(const TBatchOptions& options, std::ostream& out);

// One module's exchanges over its port, with the protocol of the window's
// commands: a command, any answer within the 200 ms window as the go-ahead,
// then the record. Errors raise EBatch.
class TModuleLink {
public:
  explicit TModuleLink(const std::string& port);
  ~TModuleLink();

  TModuleImage LoadAll();                   // the load image
  void LoadAddresses(TModuleImage& image);  // adds the IP and MAC records
  void SendChannel(int channel, const TChannelRecord& record);
  void SendAux(const TAuxRecord& record);
  void SendSystem(const TSystemRecord& record);
  void SendClock(const TClockRecord& record);
  void SetNetAddress(const TNetRecord& record);
  void SetMacAddress(const TMacRecord& record);

private:
  // Writes command and waits up to the answer window for want bytes;
  // returns what came.
  std::string Exchange(const std::string& command, std::size_t want, const char* what);
  void Send(const std::string& command, const std::uint8_t* record, std::size_t size, const char* what);
  struct TPort;
  std::unique_ptr<TPort> FPort;
};

// A failure of one module, with the exit status it stands for.
class EBatch : public Exception {
public:
  EBatch(int status, const std::string& message) : Exception(message), Status(status) {}
  int Status;
};
