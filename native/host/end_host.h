// The two ways the host ends in the middle of its input: a browser that closed our output, and an
// attribute buffer that cannot be made.
#pragma once

namespace host {

// Ends the process with status. Defined alone in end_host.cpp, so that in-process drivers (the
// fuzzers) can link their own definition in its place and keep running.
[[noreturn]] void EndHost(int status);

}  // namespace host
