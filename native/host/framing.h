// Message frames on the standard streams: a 4-byte little-endian length, then that many bytes of
// UTF-8 JSON, with nothing between frames.
#pragma once

#include <cstdio>
#include <string>

namespace host {

// Bytes reserved at the front of every reply text for its length prefix, so a frame leaves in
// one write without copying the reply.
constexpr size_t kFramePrefixSize = 4;

enum class FrameStatus { kFrame, kEnd };

// Reads the next frame's body into the first length bytes of storage, which keeps its size
// from frame to frame so that no byte is cleared before it is read into. kEnd at end of input
// anywhere (between frames, inside a prefix or inside a body) and at the prefix 0xFFFFFFFF. Storage
// grows only as bytes arrive, so a prefix promising gigabytes costs nothing until they come.
// Replies held in held's buffer are written out before any read that may wait for input, so none
// sits unsent while the host waits; kEnd also when that write fails.
FrameStatus ReadFrame(std::FILE* in, std::string& storage, size_t& length, std::FILE* held);

// frame holds kFramePrefixSize placeholder bytes followed by the reply text. Fills in the prefix
// and writes the frame into out's buffer, where it is held until the host would wait (see
// SendHeldReplies): requests already read are answered with one write between them. Returns
// false when the output is gone.
bool WriteFrame(std::FILE* out, std::string& frame);

// Writes out every reply held in out's buffer. Returns false when the output is gone.
bool SendHeldReplies(std::FILE* out);

// Switches the standard streams to binary where the C runtime has a text mode.
void UseBinaryStdio();

}  // namespace host
