// The main loop: frames in, at most one reply frame out per request.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace host {

// Serves frames from in until its end; returns the process's exit status.
int RunHost(std::FILE* in, std::FILE* out);

// Parses one frame body and answers it. A body that fails to parse, or a request that raises a
// type error, is dropped without any reply. reply is the turn's reusable reply text.
void ServeBody(std::string_view body, std::string& reply, std::FILE* out);

class Request;
// Reads the envelope of a parsed request and runs its command. Raises RequestError (or
// std::bad_alloc) where the request gets no reply.
void ServeRequest(const Request& request, std::string& reply, std::FILE* out);

}  // namespace host
