// Runs the host as a child process over pipes, as a browser does, for integration tests.
// The command line is $TESSERA_HOST_COMMAND split on spaces (for example
// "wine64 /path/tessera-smartcard.exe"), or else the path given to StartHost.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace driver {

struct HostProcess {
  pid_t pid = -1;
  int toHost = -1;      // the host's standard input
  int fromHost = -1;    // the host's standard output
  std::string pending;  // bytes read but not yet taken as a frame
  std::optional<int> exitStatus;
};

// The command that starts the host: $TESSERA_HOST_COMMAND if set, else defaultBinary.
std::vector<std::string> HostCommand(const std::string& defaultBinary);

// Starts the host. False when it could not be started.
bool StartHost(HostProcess& host, const std::vector<std::string>& command);

// A frame: the 4-byte little-endian length, then the body.
std::string Frame(const std::string& body);
// Writes bytes to the host's standard input; false when the pipe is closed.
bool SendRaw(HostProcess& host, const std::string& bytes);
bool SendFrame(HostProcess& host, const std::string& body);

// The next reply body, or nothing when no whole frame arrived within timeoutMs or the host
// closed its output.
std::optional<std::string> ReadReply(HostProcess& host, int timeoutMs);
// The next line of text output (without its newline), for children that write lines, such as
// tessera-vcard; nothing on timeout or end of output.
std::optional<std::string> ReadLine(HostProcess& host, int timeoutMs);
// True when the host has written nothing more within timeoutMs (and its output is still open
// or closed without a partial frame).
bool QuietFor(HostProcess& host, int timeoutMs);

// Ends the host's input (a browser disconnecting).
void CloseInput(HostProcess& host);
// Waits for the host to end; its exit status (a signal as 128 + number), or nothing on timeout.
std::optional<int> WaitExit(HostProcess& host, int timeoutMs);
// Kills the host if it is still running and closes the pipes.
void StopHost(HostProcess& host);

// A reply's members in order. Nothing when the text is not a flat JSON object of strings.
using Members = std::vector<std::pair<std::string, std::string>>;
std::optional<Members> DecodeReply(const std::string& reply);

}  // namespace driver
