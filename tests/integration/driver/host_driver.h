// Runs the host as a child process over pipes, as a browser does: for the integration, hostile and
// soak tests and for tessera-talk. The command line is $TESSERA_HOST_COMMAND split on spaces (for
// example "wine64 /path/tessera-smartcard.exe"), or else the path given to StartHost.
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
  std::string pending;  // bytes read; those before pendingAt are already taken
  size_t pendingAt = 0;
  std::optional<int> exitStatus;
  long peakRssKb = -1;  // the ended child's peak resident memory, from the kernel's accounting
};

// The command that starts the host: $TESSERA_HOST_COMMAND if set, else defaultBinary.
std::vector<std::string> HostCommand(const std::string& defaultBinary);

// Starts the host, its standard error on ours. False when it could not be started. Ignores
// SIGPIPE in this process, so that writing to a host that ended fails instead of killing us.
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
// Sets peakRssKb once it ended.
std::optional<int> WaitExit(HostProcess& host, int timeoutMs);
// Kills the host if it is still running and closes the pipes.
void StopHost(HostProcess& host);
// Closes the host's input and waits up to timeoutMs for it to end, then stops it: its exit status,
// or -1 when it had to be killed.
int Finish(HostProcess& host, int timeoutMs);

// True while the child has not ended (it is not collected, so WaitExit still gets its figures).
bool Running(const HostProcess& host);
// Peak resident memory of a running process in KiB (VmHWM), or -1 once it has ended.
long PeakRssKb(pid_t pid);

// A reply's members in order. Nothing when the text is not a flat JSON object of strings.
using Members = std::vector<std::pair<std::string, std::string>>;
std::optional<Members> DecodeReply(const std::string& reply);

}  // namespace driver
